#include <algorithm>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ops_testing.hpp"

using namespace zorv;
using namespace zorv::testing;

namespace {

// Straight from the definition: NaN in the window gives NaN, else a scan from the identity that
// replaces the running value only on a strict improvement.
Panel ref_rolling_extreme(const Panel &p, std::size_t n, bool max) {
  Panel out(p.dates, p.symbols);
  const auto R = static_cast<std::size_t>(p.data.rows());
  if (n == 0 || n > R) {
    return out;
  }
  for (Eigen::Index c = 0; c < p.data.cols(); ++c) {
    for (std::size_t t = n - 1; t < R; ++t) {
      double best = max ? -Inf : Inf;
      bool nan = false;
      for (std::size_t r = t + 1 - n; r <= t; ++r) {
        const double v = p.data(static_cast<Eigen::Index>(r), c);
        if (std::isnan(v)) {
          nan = true;
        } else if (max ? v > best : v < best) {
          best = v;
        }
      }
      out.data(static_cast<Eigen::Index>(t), c) = nan ? NaN : best;
    }
  }
  return out;
}

} // namespace

TEST(RollingExtreme, Examples) {
  struct Case {
    std::vector<double> col;
    std::size_t n;
    std::vector<double> max, min;
  } cases[] = {
      {{1, 5, 2, 4}, 3, {NaN, NaN, 5, 5}, {NaN, NaN, 1, 2}},
      {{1, NaN, 2, 4}, 3, {NaN, NaN, NaN, NaN}, {NaN, NaN, NaN, NaN}},
      {{1, 5, 2}, 4, {NaN, NaN, NaN}, {NaN, NaN, NaN}},
      {{1, 5, 2}, 0, {NaN, NaN, NaN}, {NaN, NaN, NaN}},
      {{1, 5, 2}, 1, {1, 5, 2}, {1, 5, 2}},
      {{1, Inf, -Inf}, 2, {NaN, Inf, Inf}, {NaN, 1, -Inf}},
      {{-Inf, -Inf}, 2, {NaN, -Inf}, {NaN, -Inf}},
      // Equal values: the earlier one is kept, so the sign of a zero follows the window.
      {{0.0, -0.0, 0.0}, 2, {NaN, 0.0, -0.0}, {NaN, 0.0, -0.0}},
      {{-0.0, 0.0, -0.0, -0.0}, 3, {NaN, NaN, -0.0, 0.0}, {NaN, NaN, -0.0, 0.0}},
      {{}, 1, {}, {}},
  };
  for (const auto &c : cases) {
    EXPECT_TRUE(same_cells(column(c.col).rolling_max(c.n), c.max)) << "n=" << c.n;
    EXPECT_TRUE(same_cells(column(c.col).rolling_min(c.n), c.min)) << "n=" << c.n;
  }
}

TEST(RollingExtreme, MatchesScanOnRandomPanels) {
  std::mt19937_64 rng(7);
  for (int iter = 0; iter < 300; ++iter) {
    const std::size_t rows = rng() % 40;
    const std::size_t cols = rng() % 6;
    const Panel p = random_panel(rng, rows, cols, iter % 2 == 0);
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                          std::size_t{5}, std::size_t{7}, rows, rows + 1, rng() % 45}) {
      ASSERT_TRUE(same_panel(p.rolling_max(n), ref_rolling_extreme(p, n, true)))
          << "max rows=" << rows << " n=" << n;
      ASSERT_TRUE(same_panel(p.rolling_min(n), ref_rolling_extreme(p, n, false)))
          << "min rows=" << rows << " n=" << n;
    }
  }
}

namespace {

using Col = std::vector<double>;

// Reference implementations, one column at a time, straight from the definitions.
Panel by_column(const Panel &p, Col (*f)(const Col &, std::size_t), std::size_t n) {
  Panel out(p.dates, p.symbols);
  for (Eigen::Index c = 0; c < p.data.cols(); ++c) {
    Col x(p.data.rows());
    for (Eigen::Index r = 0; r < p.data.rows(); ++r) {
      x[r] = p.data(r, c);
    }
    const Col y = f(x, n);
    for (Eigen::Index r = 0; r < p.data.rows(); ++r) {
      out.data(r, c) = y[r];
    }
  }
  return out;
}

std::size_t first_finite(const Col &x) {
  std::size_t s = 0;
  while (s < x.size() && !std::isfinite(x[s])) {
    ++s;
  }
  return s;
}

Col ref_std(const Col &x, std::size_t n) {
  Col y(x.size(), NaN);
  if (n == 0 || n > x.size()) {
    return y;
  }
  for (std::size_t t = n - 1; t < x.size(); ++t) {
    bool ok = true;
    double sum = 0.0;
    for (std::size_t r = t + 1 - n; r <= t; ++r) {
      ok = ok && std::isfinite(x[r]);
      sum += x[r];
    }
    if (!ok) {
      continue;
    }
    const double mean = sum / static_cast<double>(n);
    double sq = 0.0;
    for (std::size_t r = t + 1 - n; r <= t; ++r) {
      sq += (x[r] - mean) * (x[r] - mean);
    }
    y[t] = std::sqrt(sq / static_cast<double>(n));
  }
  return y;
}

Col ref_ema(const Col &x, std::size_t n) {
  Col y(x.size(), NaN);
  const std::size_t s = first_finite(x);
  if (n == 0 || s == x.size() || s + n > x.size()) {
    return y;
  }
  const double alpha = 2.0 / (static_cast<double>(n) + 1.0);
  double sum = 0.0;
  for (std::size_t r = s; r < s + n; ++r) {
    sum += x[r];
  }
  double e = sum / static_cast<double>(n);
  y[s + n - 1] = e;
  for (std::size_t t = s + n; t < x.size(); ++t) {
    const double v = std::isfinite(x[t]) ? x[t] : e;
    e = e * (1.0 - alpha) + v * alpha;
    y[t] = e;
  }
  return y;
}

Col ref_rsi(const Col &x, std::size_t n) {
  Col y(x.size(), NaN);
  const std::size_t s = first_finite(x);
  if (n == 0 || s == x.size() || s + n >= x.size()) {
    return y;
  }
  const auto gain = [&](std::size_t t) {
    double d = x[t] - x[t - 1];
    d = std::isfinite(d) ? d : 0.0;
    return d > 0 ? d : 0.0;
  };
  const auto loss = [&](std::size_t t) {
    double d = x[t] - x[t - 1];
    d = std::isfinite(d) ? d : 0.0;
    return d <= 0 ? -d : 0.0;
  };
  const double nd = static_cast<double>(n);
  double g = 0.0, l = 0.0;
  for (std::size_t t = s + 1; t <= s + n; ++t) {
    g += gain(t);
  }
  for (std::size_t t = s + 1; t <= s + n; ++t) {
    l += loss(t);
  }
  g /= nd;
  l /= nd;
  const auto value = [&] { return l == 0.0 ? 100.0 : 100.0 - 100.0 / (g / l + 1.0); };
  y[s + n] = value();
  for (std::size_t t = s + n + 1; t < x.size(); ++t) {
    g = (g * (nd - 1.0) + gain(t)) / nd;
    l = (l * (nd - 1.0) + loss(t)) / nd;
    y[t] = value();
  }
  return y;
}

Col ref_average(const Col &x, std::size_t n) {
  Col y(x.size(), NaN);
  const std::size_t need = n / 2 > 1 ? n / 2 : 1;
  for (std::size_t t = 0; t < x.size(); ++t) {
    const std::size_t from = (n == 0 || t + 1 < n) ? 0 : t + 1 - n;
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t r = from; r <= t; ++r) {
      if (!std::isnan(x[r])) {
        sum += x[r];
        ++count;
      }
    }
    if (count >= need) {
      y[t] = sum / static_cast<double>(count);
    }
  }
  return y;
}

Panel ref_rank(const Panel &p, bool pct, bool ascending) {
  Panel out(p.dates, p.symbols);
  for (Eigen::Index r = 0; r < p.data.rows(); ++r) {
    const auto v = sorted_row(p, r, !ascending);
    const std::size_t m = v.size();
    for (std::size_t i = 0; i < m;) {
      std::size_t j = i;
      while (j < m && v[j].second == v[i].second) {
        ++j;
      }
      for (std::size_t k = i; k < j; ++k) {
        out.data(r, v[k].first) =
            static_cast<double>((i + 1) + j) * 0.5 / (pct ? static_cast<double>(m) : 1.0);
      }
      i = j;
    }
  }
  return out;
}

} // namespace

TEST(Lagged, ComposedFromShift) {
  struct Case {
    std::vector<double> col;
    std::size_t n;
    std::vector<double> pct, rise, fall;
  } cases[] = {
      {{0.0, 1, -0.0, -1, 0, 0},
       1,
       {NaN, Inf, -1, Inf, -1, NaN},
       {0, 1, 0, 0, 1, 0},
       {0, 0, 1, 1, 0, 0}},
      {{1, NaN, 2, 3}, 1, {NaN, NaN, NaN, 0.5}, {0, 0, 0, 1}, {0, 0, 0, 0}},
      {{1, 5, 3, 4}, 2, {NaN, NaN, 2, -0.2}, {0, 0, 1, 0}, {0, 0, 0, 1}},
      {{1, 2}, 0, {0, 0}, {0, 0}, {0, 0}},
      {{1, 2}, 5, {NaN, NaN}, {0, 0}, {0, 0}},
  };
  for (const auto &c : cases) {
    const Panel p = column(c.col);
    EXPECT_TRUE(same_cells(p.pct_change(c.n), c.pct)) << c.n;
    EXPECT_TRUE(same_cells(p.rise(c.n), c.rise)) << c.n;
    EXPECT_TRUE(same_cells(p.fall(c.n), c.fall)) << c.n;
  }
}

TEST(Lagged, MatchesCompositionOnAnyGrid) {
  std::mt19937_64 rng(11);
  for (int iter = 0; iter < 80; ++iter) {
    Panel p = random_panel(rng, rng() % 12, rng() % 4);
    if (iter % 4 == 1 && p.rows() > 1) {
      std::swap(p.dates.front(), p.dates.back()); // unsorted dates
    } else if (iter % 4 == 2 && p.cols() > 1) {
      p.symbols.back() = p.symbols.front(); // a repeated symbol
    } else if (iter % 4 == 3 && p.rows() > 2) {
      p.dates[1] = p.dates.back(); // a repeated date
    }
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{5},
                          std::size_t{20}, ~std::size_t{0}}) {
      const Panel lagged = p.shift(n);
      ASSERT_TRUE(same_panel(p.pct_change(n), p.sub(lagged).div(lagged))) << iter;
      ASSERT_TRUE(same_panel(p.rise(n), p.gt(lagged))) << iter;
      ASSERT_TRUE(same_panel(p.fall(n), p.lt(lagged))) << iter;
    }
  }
}

TEST(WindowOperators, Examples) {
  struct Case {
    Panel (Panel::*op)(std::size_t) const;
    std::vector<double> col;
    std::size_t n;
    std::vector<double> want;
  } cases[] = {
      // std
      {&Panel::rolling_std, {1, 3}, 2, {NaN, 1.0}}, // population, not sample
      {&Panel::rolling_std, {1, Inf, 3, 5}, 2, {NaN, NaN, NaN, 1.0}},
      {&Panel::rolling_std, {1, NaN, 3}, 1, {0, NaN, 0}},
      {&Panel::rolling_std, {2, 4, 4, 4, 5, 5, 7, 9}, 8, {NaN, NaN, NaN, NaN, NaN, NaN, NaN, 2.0}},
      {&Panel::rolling_std, {1, 2}, 0, {NaN, NaN}},
      {&Panel::rolling_std, {1, 2}, 3, {NaN, NaN}},
      // ema
      {&Panel::ema, {NaN, 1, 2, 3, 4}, 3, {NaN, NaN, NaN, 2, 3}},
      {&Panel::ema, {NaN, 1, 2, 3, NaN}, 3, {NaN, NaN, NaN, 2, 2}},
      {&Panel::ema, {NaN, 1, 2, 3, Inf}, 3, {NaN, NaN, NaN, 2, 2}},
      {&Panel::ema, {1, NaN, 3, 4, 5}, 3, {NaN, NaN, NaN, NaN, NaN}}, // NaN inside the seed window
      {&Panel::ema, {NaN, 1, 2}, 3, {NaN, NaN, NaN}},
      {&Panel::ema, {Inf, 4, 2}, 1, {NaN, 4, 2}},
      {&Panel::ema, {1, 2}, 0, {NaN, NaN}},
      // rsi
      {&Panel::rsi, {NaN, 1, 2, 3, 4}, 2, {NaN, NaN, NaN, 100, 100}},
      {&Panel::rsi, {5, 5, 5, 5}, 2, {NaN, NaN, 100, 100}},
      {&Panel::rsi, {1, 2, 3}, 3, {NaN, NaN, NaN}}, // fewer than s+n+1 rows
      // gains 1, 0; losses 0, 1 -> 50; then gain 0 loss 0 -> averages 0.25, 0.25 -> 50.
      {&Panel::rsi, {1, 2, 1, 1}, 2, {NaN, NaN, 50, 50}},
      // The NaN at row 2 zeroes the differences at rows 2 and 3.
      {&Panel::rsi,
       {1, 2, NaN, 5, 4},
       2,
       {NaN, NaN, 100, 100, 100.0 - 100.0 / (0.125 / 0.5 + 1.0)}},
      {&Panel::rsi, {1, 2}, 0, {NaN, NaN}},
      // average
      {&Panel::average, {1, 2, NaN, 4, 5}, 4, {NaN, 1.5, 1.5, 7.0 / 3, 11.0 / 3}},
      {&Panel::average, {1, NaN, NaN, 4}, 4, {NaN, NaN, NaN, 2.5}},
      {&Panel::average, {NaN, NaN, NaN, 4}, 4, {NaN, NaN, NaN, NaN}},
      {&Panel::average, {NaN, 2, NaN, 4}, 1, {NaN, 2, NaN, 4}},
      {&Panel::average, {NaN, 2, NaN, 4}, 2, {NaN, 2, 2, 4}},
      {&Panel::average, {1, 2, NaN, 6}, 0, {1, 1.5, 1.5, 3}},
      {&Panel::average, {1, 2, 3, 4, 5, 6, 7}, 6, {NaN, NaN, 2, 2.5, 3, 3.5, 4.5}},
      {&Panel::average, {1, Inf, 3, -Inf}, 3, {1, Inf, Inf, NaN}},
      {&Panel::average, {-0.0, -0.0}, 1, {0.0, 0.0}}, // the sum starts from +0.0
      {&Panel::average, {1, 2}, 100, {NaN, NaN}},
  };
  for (const auto &c : cases) {
    EXPECT_TRUE(same_cells((column(c.col).*c.op)(c.n), c.want)) << "case " << (&c - cases);
  }
}

TEST(RankCs, TiesInBothDirections) {
  struct Case {
    std::vector<double> row;
    bool pct, ascending;
    std::vector<double> want;
  } cases[] = {
      {{3, NaN, 1, 3}, true, true, {2.5 / 3, NaN, 1.0 / 3, 2.5 / 3}},
      {{3, NaN, 1, 3}, false, false, {1.5, NaN, 3.0, 1.5}},
      {{3, NaN, 1, 3}, false, true, {2.5, NaN, 1, 2.5}},
      {{3, NaN, 1, 3}, true, false, {0.5, NaN, 1.0, 0.5}},
      {{NaN, 7, NaN}, true, true, {NaN, 1, NaN}},
      {{NaN, 7, NaN}, false, false, {NaN, 1, NaN}},
      {{NaN, NaN}, true, true, {NaN, NaN}},
      {{-0.0, 0.0, -1}, false, true, {2.5, 2.5, 1}},
      {{Inf, -Inf, 0}, false, true, {3, 1, 2}},
      {{Inf, -Inf, 0}, false, false, {1, 3, 2}},
  };
  for (const auto &c : cases) {
    EXPECT_TRUE(same_cells(row(c.row).rank_cs(c.pct, c.ascending), c.want));
  }
}

TEST(WindowOperators, MatchDefinitionsOnRandomPanels) {
  std::mt19937_64 rng(3);
  for (int iter = 0; iter < 200; ++iter) {
    const std::size_t rows = rng() % 30;
    const Panel p = random_panel(rng, rows, rng() % 5, iter % 2 == 0);
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                          std::size_t{4}, std::size_t{7}, rows, rows + 1, rng() % 35}) {
      ASSERT_TRUE(same_panel(p.rolling_std(n), by_column(p, ref_std, n))) << n;
      ASSERT_TRUE(same_panel(p.ema(n), by_column(p, ref_ema, n))) << n;
      ASSERT_TRUE(same_panel(p.rsi(n), by_column(p, ref_rsi, n))) << n;
      ASSERT_TRUE(same_panel(p.average(n), by_column(p, ref_average, n))) << n;
    }
    for (bool pct : {false, true}) {
      for (bool asc : {false, true}) {
        ASSERT_TRUE(same_panel(p.rank_cs(pct, asc), ref_rank(p, pct, asc)));
      }
    }
  }
}

// Counts near the top of the type must not wrap around in window or start arithmetic.
TEST(WindowOperators, HugeCounts) {
  const Panel p = grid(3, 2, {1, NaN, 2, 5, -Inf, 7});
  const std::vector<double> nan(6, NaN), zero(6, 0.0);
  for (std::size_t n : {~std::size_t{0}, ~std::size_t{0} - 1, std::size_t{1} << 62}) {
    expect_outcomes(
        {
            {"pct_change", p.pct_change(n), nan},
            {"rise", p.rise(n), zero},
            {"fall", p.fall(n), zero},
            {"rolling_max", p.rolling_max(n), nan},
            {"rolling_min", p.rolling_min(n), nan},
            {"rolling_std", p.rolling_std(n), nan},
            {"ema", p.ema(n), nan},
            {"rsi", p.rsi(n), nan},
            {"average", p.average(n), nan},
        },
        n);
  }
}

TEST(WindowOperators, EmptyPanels) {
  for (const Panel &p : {grid(0, 3, {}), grid(4, 0, {}), grid(0, 0, {})}) {
    for (const Panel &q : {p.pct_change(1), p.rise(1), p.fall(2), p.rolling_max(0),
                           p.rolling_min(2), p.rolling_std(2), p.ema(2), p.rsi(2), p.average(0),
                           p.average(3), p.rank_cs(true, true)}) {
      EXPECT_EQ(q.data.rows(), p.data.rows());
      EXPECT_EQ(q.data.cols(), p.data.cols());
      EXPECT_EQ(q.dates, p.dates);
    }
  }
}

namespace {

// The earlier cell-by-cell form of the two operators, kept as the reference that the
// column-parallel forms must reproduce bit for bit.
Panel previous_rsi(const Panel &p, std::size_t n) {
  Panel out(p.dates, p.symbols);
  if (n == 0) {
    return out;
  }
  const auto R = p.rows();
  const auto C = p.cols();
  const double nd = static_cast<double>(n);
  std::vector<double> gain_avg(C, 0.0), loss_avg(C, 0.0);
  std::vector<std::size_t> start(C, ~std::size_t{0});
  for (std::size_t t = 0; t < R; ++t) {
    for (std::size_t c = 0; c < C; ++c) {
      const auto tt = static_cast<Eigen::Index>(t);
      const auto cc = static_cast<Eigen::Index>(c);
      const double v = p.data(tt, cc);
      if (start[c] == ~std::size_t{0}) {
        if (!std::isfinite(v)) {
          continue;
        }
        start[c] = t;
      }
      const std::size_t k = t - start[c];
      if (k == 0) {
        continue;
      }
      double d = v - p.data(tt - 1, cc);
      d = std::isfinite(d) ? d : 0.0;
      const double gain = d > 0 ? d : 0.0;
      const double loss = d <= 0 ? -d : 0.0;
      double &g = gain_avg[c];
      double &l = loss_avg[c];
      if (k < n) {
        g += gain;
        l += loss;
        continue;
      }
      if (k == n) {
        g = (g + gain) / nd;
        l = (l + loss) / nd;
      } else {
        g = (g * (nd - 1.0) + gain) / nd;
        l = (l * (nd - 1.0) + loss) / nd;
      }
      out.data(tt, cc) = l == 0.0 ? 100.0 : 100.0 - 100.0 / (g / l + 1.0);
    }
  }
  return out;
}

Panel previous_rank_cs(const Panel &p, bool pct, bool ascending) {
  Panel out(p.dates, p.symbols);
  std::vector<std::pair<double, Eigen::Index>> cells;
  for (Eigen::Index t = 0; t < p.data.rows(); ++t) {
    cells.clear();
    for (Eigen::Index c = 0; c < p.data.cols(); ++c) {
      if (!std::isnan(p.data(t, c))) {
        cells.emplace_back(p.data(t, c), c);
      }
    }
    const std::size_t m = cells.size();
    std::sort(cells.begin(), cells.end(), [ascending](const auto &a, const auto &b) {
      return ascending ? a.first < b.first : a.first > b.first;
    });
    const double scale = pct ? static_cast<double>(m) : 1.0;
    for (std::size_t i = 0; i < m;) {
      std::size_t j = i + 1;
      while (j < m && cells[j].first == cells[i].first) {
        ++j;
      }
      const double rank = static_cast<double>((i + 1) + j) * 0.5 / scale;
      for (std::size_t k = i; k < j; ++k) {
        out.data(t, cells[k].second) = rank;
      }
      i = j;
    }
  }
  return out;
}

} // namespace

// Wide rows reach the packet and radix paths; odd widths leave packet tails; columns start at
// different rows, so seed, start and steady rows meet in one row.
TEST(WindowOperators, RsiAndRankMatchPreviousFormOnWidePanels) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int iter = 0; iter < 40; ++iter) {
    const std::size_t rows = rng() % 40;
    const std::size_t cols = std::vector<std::size_t>{1, 2, 3, 255, 280, 300, 700}[iter % 7];
    Panel p = random_panel(rng, rows, cols, iter % 3 != 0);
    // Leading NaN runs of random length, and a few huge magnitudes whose differences overflow.
    for (Eigen::Index c = 0; c < p.data.cols(); ++c) {
      const auto lead = static_cast<Eigen::Index>(rng() % (rows + 2));
      for (Eigen::Index t = 0; t < std::min(lead, p.data.rows()); ++t) {
        p.data(t, c) = unit(rng) < 0.5 ? NaN : -Inf;
      }
      for (Eigen::Index t = 0; t < p.data.rows(); ++t) {
        if (unit(rng) < 0.02) {
          p.data(t, c) = unit(rng) < 0.5 ? 1.7e308 : -1.7e308;
        }
      }
    }
    for (std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{14}, rows, rng() % 45}) {
      ASSERT_TRUE(same_panel(p.rsi(n), previous_rsi(p, n))) << "n=" << n << " iter " << iter;
    }
    for (bool pct : {false, true}) {
      for (bool asc : {false, true}) {
        ASSERT_TRUE(same_panel(p.rank_cs(pct, asc), previous_rank_cs(p, pct, asc)))
            << "iter " << iter;
      }
    }
  }
}
