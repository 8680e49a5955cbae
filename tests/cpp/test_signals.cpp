#include <algorithm>
#include <cmath>
#include <optional>
#include <random>

#include <gtest/gtest.h>

#include "ops_testing.hpp"

using namespace zorv;
using namespace zorv::testing;

namespace {

// Reference implementations straight from the definitions.
Panel ref_sustain(const Panel &p, std::size_t nwindow, std::optional<std::size_t> nsatisfy) {
  const double k = static_cast<double>(nsatisfy ? *nsatisfy : nwindow);
  Panel out(p.dates, p.symbols, Matrix::Zero(p.data.rows(), p.data.cols()));
  for (Eigen::Index c = 0; c < p.data.cols(); ++c) {
    for (std::size_t t = 0; t < p.rows(); ++t) {
      if (t + 1 < nwindow) {
        continue;
      }
      std::size_t count = 0;
      for (std::size_t r = t + 1 - nwindow; r <= t && nwindow > 0; ++r) {
        count += p.data(static_cast<Eigen::Index>(r), c) == 1.0;
      }
      out.data(static_cast<Eigen::Index>(t), c) = static_cast<double>(count) >= k ? 1.0 : 0.0;
    }
  }
  return out;
}

Panel ref_top_n(const Panel &p, std::size_t n, bool largest) {
  Panel out(p.dates, p.symbols, Matrix::Zero(p.data.rows(), p.data.cols()));
  for (Eigen::Index r = 0; r < p.data.rows(); ++r) {
    const auto v = sorted_row(p, r, largest);
    for (std::size_t i = 0; i < v.size() && i < n; ++i) {
      out.data(r, v[i].first) = 1.0;
    }
  }
  return out;
}

Panel ref_normalize_row(const Panel &p) {
  Panel out = p;
  for (Eigen::Index r = 0; r < p.data.rows(); ++r) {
    double sum = -0.0;
    for (Eigen::Index c = 0; c < p.data.cols(); ++c) {
      sum += std::isnan(p.data(r, c)) ? -0.0 : std::fabs(p.data(r, c));
    }
    for (Eigen::Index c = 0; c < p.data.cols() && sum > 0; ++c) {
      out.data(r, c) = p.data(r, c) / sum;
    }
  }
  return out;
}

} // namespace

TEST(Signals, EmptyPanelsKeepTheirGrid) {
  for (const Panel &p : {grid(0, 3, {}), grid(4, 0, {}), grid(0, 0, {})}) {
    for (const Panel &q : {p.shift_false(1), p.is_entry(), p.is_exit(), p.sustain(2, std::nullopt),
                           p.sustain(0, std::nullopt), p.top_n(2, true), p.normalize_row()}) {
      EXPECT_EQ(q.data.rows(), p.data.rows());
      EXPECT_EQ(q.data.cols(), p.data.cols());
      EXPECT_EQ(q.dates, p.dates);
      EXPECT_EQ(q.symbols, p.symbols);
    }
  }
}

TEST(Signals, ShiftFalse) {
  EXPECT_TRUE(same_cells(column({1, 1, 1}).shift_false(3), {0, 0, 0}));
  EXPECT_TRUE(same_cells(column({1, 1, 1}).shift_false(99), {0, 0, 0}));
  EXPECT_TRUE(same_cells(column({1.0, 2.0, NaN}).shift_false(0), {1, 0, 0}));
  EXPECT_TRUE(same_cells(column({1, NaN, 1, 0.5}).shift_false(1), {0, 1, 0, 1}));
}

TEST(Signals, Edges) {
  struct Case {
    std::vector<double> col, entry, exit;
  } cases[] = {
      {{1, 1, 0, 1}, {1, 0, 0, 1}, {0, 0, 1, 0}},
      {{1, NaN}, {1, 0}, {0, 1}},
      {{NaN, 1, 2, 1}, {0, 1, 0, 1}, {0, 0, 1, 0}},
      {{0, 0}, {0, 0}, {0, 0}},
  };
  for (const auto &c : cases) {
    EXPECT_TRUE(same_cells(column(c.col).is_entry(), c.entry));
    EXPECT_TRUE(same_cells(column(c.col).is_exit(), c.exit));
  }
  // Edges are found in stored order, then the result takes the aligned grid (dates sorted).
  Panel p = column({1, 0, 1});
  p.dates = {3, 2, 1};
  const Panel entry = p.is_entry();
  EXPECT_EQ(entry.dates, (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_TRUE(same_cells(entry, {1, 0, 1}));
  EXPECT_TRUE(same_cells(p.is_exit(), {0, 1, 0}));
}

TEST(Signals, EdgesMatchCompositionOnAnyGrid) {
  std::mt19937_64 rng(5);
  for (int iter = 0; iter < 60; ++iter) {
    Panel p = random_panel(rng, rng() % 12, rng() % 4, false);
    if (iter % 3 == 1 && p.rows() > 1) {
      p.dates.back() = p.dates.front(); // a repeated date
    } else if (iter % 3 == 2 && p.cols() > 1) {
      p.symbols.back() = p.symbols.front();
    }
    const Panel lagged = p.shift_false(1);
    ASSERT_TRUE(same_panel(p.is_entry(), p.and_(lagged.not_()))) << iter;
    ASSERT_TRUE(same_panel(p.is_exit(), p.not_().and_(lagged))) << iter;
  }
}

TEST(Signals, SustainThresholds) {
  struct Case {
    std::vector<double> col;
    std::size_t nwindow;
    std::optional<std::size_t> nsatisfy;
    std::vector<double> want;
  } cases[] = {
      {{1, 1, 1, 0}, 3, std::nullopt, {0, 0, 1, 0}},
      {{1, 1, 1, 0}, 3, 2, {0, 0, 1, 1}},
      {{1, NaN, 2, 1}, 2, 1, {0, 1, 0, 1}},
      {{1, 1}, 3, std::nullopt, {0, 0}},
      {{1, 1}, 3, 0, {0, 0}}, // no full window, whatever the threshold
      {{0, NaN}, 0, std::nullopt, {1, 1}},
      {{1, 1}, 0, 1, {0, 0}},
      {{1, 1, 1}, 1, 0, {1, 1, 1}},
      {{0, 0, 0}, 2, 0, {0, 1, 1}},
      {{1, 1, 1}, 2, 3, {0, 0, 0}},
  };
  for (const auto &c : cases) {
    EXPECT_TRUE(same_cells(column(c.col).sustain(c.nwindow, c.nsatisfy), c.want))
        << "case " << (&c - cases);
  }
}

TEST(Selection, TopNTies) {
  struct Case {
    std::vector<double> row;
    std::size_t n;
    bool largest;
    std::vector<double> want;
  } cases[] = {
      {{5, NaN, 7, 5}, 2, true, {1, 0, 1, 0}}, {{5, NaN, 7, 5}, 2, false, {1, 0, 0, 1}},
      {{5, NaN, 7, 5}, 5, true, {1, 0, 1, 1}}, {{5, NaN, 7, 5}, 0, true, {0, 0, 0, 0}},
      {{0.0, -0.0, -1}, 1, true, {1, 0, 0}},   {{-0.0, 0.0, 1}, 1, false, {1, 0, 0}},
      {{Inf, 1, -Inf}, 1, true, {1, 0, 0}},    {{Inf, 1, -Inf}, 1, false, {0, 0, 1}},
      {{NaN, NaN}, 1, true, {0, 0}},
  };
  for (const auto &c : cases) {
    EXPECT_TRUE(same_cells(row(c.row).top_n(c.n, c.largest), c.want)) << "case " << (&c - cases);
  }
}

TEST(Selection, NormalizeRow) {
  struct Case {
    std::vector<double> row, want;
  } cases[] = {
      {{1, -3, NaN}, {0.25, -0.75, NaN}}, {{0, 0}, {0, 0}},
      {{-0.0, NaN}, {-0.0, NaN}},         {{NaN, NaN}, {NaN, NaN}},
      {{2, Inf, -1}, {0, NaN, -0.0}},     {{-2, 0.0}, {-1, 0}},
  };
  for (const auto &c : cases) {
    EXPECT_TRUE(same_cells(row(c.row).normalize_row(), c.want)) << "case " << (&c - cases);
  }
}

// Counts near the top of the type must not wrap around in window arithmetic.
TEST(Signals, HugeCounts) {
  const Panel p = grid(3, 2, {1, NaN, 1, 5, -Inf, 1});
  const std::vector<double> zero(6, 0.0), valid = {1, 0, 1, 1, 1, 1};
  for (std::size_t n : {~std::size_t{0}, ~std::size_t{0} - 1, std::size_t{1} << 62}) {
    expect_outcomes(
        {
            {"shift_false", p.shift_false(n), zero},
            {"sustain", p.sustain(n, std::nullopt), zero},
            {"sustain k=0", p.sustain(n, 0), zero},
            {"sustain w=1", p.sustain(1, n), zero},
            {"sustain w=0", p.sustain(0, n), zero},
            {"top_n largest", p.top_n(n, true), valid},
            {"top_n smallest", p.top_n(n, false), valid},
        },
        n);
  }
}

TEST(Signals, MatchDefinitionsOnRandomPanels) {
  std::mt19937_64 rng(9);
  for (int iter = 0; iter < 200; ++iter) {
    const std::size_t rows = rng() % 25;
    const Panel p = random_panel(rng, rows, rng() % 7, iter % 2 == 0);
    ASSERT_TRUE(same_panel(p.normalize_row(), ref_normalize_row(p))) << iter;
    for (std::size_t w : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                          std::size_t{6}, rows, rows + 1}) {
      for (std::optional<std::size_t> k :
           {std::optional<std::size_t>{}, std::optional<std::size_t>{0},
            std::optional<std::size_t>{1}, std::optional<std::size_t>{2}}) {
        ASSERT_TRUE(same_panel(p.sustain(w, k), ref_sustain(p, w, k))) << w;
      }
      for (bool largest : {false, true}) {
        ASSERT_TRUE(same_panel(p.top_n(w, largest), ref_top_n(p, w, largest))) << w;
      }
    }
  }
}
