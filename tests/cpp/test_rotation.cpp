#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/align.hpp"
#include "core/ops/rotation.hpp"

using namespace zorv;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

using Rows = std::vector<std::vector<double>>;

// Dates 10, 11, ... one per row.
Panel grid(std::vector<std::string> syms, const Rows &rows) {
  std::vector<std::int32_t> dates;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    dates.push_back(10 + static_cast<std::int32_t>(i));
  }
  Panel p(std::move(dates), std::move(syms));
  for (Eigen::Index i = 0; i < p.data.rows(); ++i)
    for (Eigen::Index j = 0; j < p.data.cols(); ++j)
      p.data(i, j) = rows[static_cast<std::size_t>(i)].at(static_cast<std::size_t>(j));
  return p;
}

Rows zeros(std::size_t t, std::size_t n) { return Rows(t, std::vector<double>(n, 0.0)); }

Rows to_rows(const Matrix &m) {
  Rows r(static_cast<std::size_t>(m.rows()));
  for (Eigen::Index i = 0; i < m.rows(); ++i)
    for (Eigen::Index j = 0; j < m.cols(); ++j)
      r[static_cast<std::size_t>(i)].push_back(m(i, j));
  return r;
}

// One symbol's series as a column.
Rows col(std::vector<double> v) {
  Rows r;
  for (double x : v) {
    r.push_back({x});
  }
  return r;
}

const std::vector<std::string> AB{"A", "B"};
const std::vector<std::string> ABC{"A", "B", "C"};

} // namespace

TEST(HoldUntil, LimitsAndSignals) {
  struct Case {
    const char *name;
    std::vector<std::string> syms;
    Rows entry, exit;
    std::optional<std::size_t> limit;
    Rows want;
  } cases[] = {
      {"limit 0", AB, {{1, 1}, {1, 1}}, zeros(2, 2), 0, zeros(2, 2)},
      {"no limit holds every entry", ABC, {{1, 1, 1}}, zeros(1, 3), std::nullopt, {{1, 1, 1}}},
      {"limit above the symbol count", AB, {{1, 1}}, zeros(1, 2), 50, {{1, 1}}},
      {"right-most new entry wins",
       ABC,
       {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {1, 0, 1}},
       zeros(4, 3),
       1,
       {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 1}}},
      // Row 0: C takes a place before its exit clears it; row 1: B is held, C beats A.
      {"row 0 picks by entry alone",
       ABC,
       {{1, 1, 1}, {1, 1, 1}},
       {{0, 0, 1}, {0, 0, 0}},
       2,
       {{0, 1, 0}, {0, 1, 1}}},
      {"held without entry",
       AB,
       {{1, 0}, {0, 0}, {0, 0}},
       zeros(3, 2),
       1,
       {{1, 0}, {1, 0}, {1, 0}}},
      {"exit on the entry row wins", AB, {{0, 0}, {1, 1}}, {{0, 0}, {1, 0}}, 1, {{0, 0}, {0, 1}}},
      {"exit then re-entry",
       AB,
       {{1, 0}, {1, 0}, {1, 0}},
       {{0, 0}, {1, 0}, {0, 0}},
       std::nullopt,
       {{1, 0}, {0, 0}, {1, 0}}},
      {"only 1.0 is true",
       AB,
       {{2, -1}, {NaN, 1}},
       {{0, 0}, {0, 2}},
       std::nullopt,
       {{0, 0}, {0, 1}}},
  };
  for (const auto &c : cases) {
    HoldUntilOpts o;
    o.nstocks_limit = c.limit;
    const Panel r = grid(c.syms, c.entry).hold_until(grid(c.syms, c.exit), o);
    EXPECT_EQ(r.symbols, c.syms) << c.name;
    EXPECT_EQ(to_rows(r.data), c.want) << c.name;
  }
}

TEST(HoldUntil, RankPriority) {
  struct Case {
    const char *name;
    Rows entry, rank, want;
  } cases[] = {
      {"held beats a higher priority", {{1, 0}, {1, 1}}, {{0, 0}, {0, 1}}, {{1, 0}, {1, 0}}},
      {"higher rank takes the place", {{0, 0}, {1, 1}}, {{0, 0}, {5, 2}}, {{0, 0}, {1, 0}}},
      {"equal ranks go right", {{0, 0}, {1, 1}}, {{0, 0}, {3, 3}}, {{0, 0}, {0, 1}}},
      {"row 0 ignores rank", {{1, 1}, {0, 0}}, {{9, 1}, {0, 0}}, {{0, 1}, {0, 1}}},
      {"NaN rank scores 0", {{0, 0}, {1, 1}}, {{0, 0}, {1, NaN}}, {{0, 0}, {1, 0}}},
      // The range overflows; the scaled ranks must still lie in [0, 1].
      {"held beats a new entry at a huge rank",
       {{1, 0}, {1, 1}},
       {{0, 0}, {-1e308, 1e308}},
       {{1, 0}, {1, 0}}},
  };
  for (const auto &c : cases) {
    const Panel rank = grid(AB, c.rank);
    HoldUntilOpts o;
    o.nstocks_limit = 1;
    o.rank = &rank;
    const Panel r = grid(AB, c.entry).hold_until(grid(AB, zeros(c.entry.size(), 2)), o);
    EXPECT_EQ(to_rows(r.data), c.want) << c.name;
  }
}

TEST(HoldUntil, PriceStops) {
  struct Case {
    const char *name;
    std::vector<double> entry, price;
    double stop_loss = -Inf, take_profit = Inf, trail_stop = Inf, activation = 0.0;
    std::vector<double> want;
  } cases[] = {
      // Entry price is the row-2 price (100), not the row-1 price.
      {"stop loss", {0, 1, 0, 0, 1}, {NaN, 80, 100, 85, 90}, 0.1, Inf, Inf, 0, {0, 1, 1, 0, 1}},
      {"negative level",
       {0, 1, 0, 0, 1},
       {NaN, 80, 100, 85, 90},
       -0.1,
       Inf,
       Inf,
       0,
       {0, 1, 1, 0, 1}},
      {"no stops", {0, 1, 0, 0, 1}, {NaN, 80, 100, 85, 90}, -Inf, Inf, Inf, 0, {0, 1, 1, 1, 1}},
      {"trailing stop",
       {1, 0, 0, 0, 0, 0},
       {NaN, 100, 105, 112, 108, 106},
       -Inf,
       Inf,
       0.05,
       0.1,
       {1, 1, 1, 1, 1, 0}},
      {"trailing stop not armed",
       {1, 0, 0, 0, 0, 0},
       {NaN, 100, 105, 112, 108, 106},
       -Inf,
       Inf,
       0.05,
       0.2,
       {1, 1, 1, 1, 1, 1}},
      // Peak 2.0 less 0.5 fires below 1.5, where half the peak would wait for 1.0.
      {"peak minus a fixed amount",
       {1, 0, 0, 0, 0},
       {NaN, 100, 200, 160, 140},
       -Inf,
       Inf,
       0.5,
       0,
       {1, 1, 1, 1, 0}},
      {"take profit", {1, 0, 0}, {NaN, 100, 130}, -Inf, 0.2, Inf, 0, {1, 1, 0}},
      {"zero entry price, positive price", {1, 0, 0}, {NaN, 0, 5}, -Inf, 0.2, Inf, 0, {1, 1, 0}},
      {"zero entry price, zero price", {1, 0, 0}, {NaN, 0, 0}, 0.1, 0.2, Inf, 0, {1, 1, 1}},
      {"missing entry price taken later",
       {1, 0, 0, 0},
       {NaN, NaN, 100, 85},
       0.1,
       Inf,
       Inf,
       0,
       {1, 1, 1, 0}},
      {"NaN price fires nothing", {1, 0, 0}, {NaN, 100, NaN}, 0.1, Inf, Inf, 0, {1, 1, 1}},
  };
  for (const auto &c : cases) {
    const Panel price = grid({"S"}, col(c.price));
    HoldUntilOpts o;
    o.price = &price;
    o.stop_loss = c.stop_loss;
    o.take_profit = c.take_profit;
    o.trail_stop = c.trail_stop;
    o.trail_stop_activation = c.activation;
    const Panel r = grid({"S"}, col(c.entry)).hold_until(grid({"S"}, zeros(c.entry.size(), 1)), o);
    EXPECT_EQ(to_rows(r.data), col(c.want)) << c.name;
  }
}

TEST(HoldUntil, PanelsOnOtherGridsAreReadByDateAndSymbol) {
  // Entry dates 10..14, symbols A, B; B is held throughout.
  const Panel entry = grid(AB, {{0, 1}, {1, 0}, {0, 0}, {0, 0}, {1, 0}});
  const Panel exit = grid(AB, zeros(5, 2));
  // Prices in reverse date order, an extra date, a foreign symbol and none for B.
  const Panel price({15, 14, 13, 12, 11, 10, 9}, {"Z", "A"}, [] {
    Matrix m(7, 2);
    m << 1, 1, 1, 90, 1, 85, 1, 100, 1, 80, 1, NaN, 1, 1;
    return m;
  }());
  HoldUntilOpts o;
  o.price = &price;
  o.stop_loss = 0.1;
  EXPECT_EQ(to_rows(entry.hold_until(exit, o).data),
            (Rows{{0, 1}, {1, 1}, {1, 1}, {0, 1}, {1, 1}}));

  // Rank only for A, plus a huge value on a date the entry grid lacks: A's ranks 1 and 2 span
  // the range, B has none and scores 0.
  const Panel rank({9, 10, 11}, {"A"}, [] {
    Matrix m(3, 1);
    m << 100, 1, 2;
    return m;
  }());
  HoldUntilOpts r;
  r.nstocks_limit = 1;
  r.rank = &rank;
  const Panel e2 = grid(AB, {{0, 0}, {1, 1}});
  EXPECT_EQ(to_rows(e2.hold_until(grid(AB, zeros(2, 2)), r).data), (Rows{{0, 0}, {1, 0}}));
}

TEST(HoldUntil, GridShapes) {
  HoldUntilOpts o;
  const Panel price = grid(AB, {{1, 1}});
  o.price = &price;
  o.stop_loss = 0.1;
  // No dates: an empty result on the aligned symbols.
  const Panel none({}, AB);
  const Panel r0 = none.hold_until(none, o);
  EXPECT_EQ(r0.data.rows(), 0);
  EXPECT_EQ(r0.symbols, AB);
  // No symbols.
  const Panel nosym({1, 2}, {});
  EXPECT_EQ(nosym.hold_until(nosym, o).data.rows(), 2);
  // Alignment: union of dates, entry's symbols that exit has; stops without a price fire nothing.
  HoldUntilOpts no_price;
  no_price.stop_loss = 0.1;
  const Panel entry = grid(ABC, {{1, 1, 1}, {0, 0, 0}});
  const Panel exit({11, 12}, {"C", "A"});
  const Panel r = entry.hold_until(exit, no_price);
  EXPECT_EQ(r.dates, (std::vector<std::int32_t>{10, 11, 12}));
  EXPECT_EQ(r.symbols, (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(to_rows(r.data), (Rows{{1, 1}, {1, 1}, {1, 1}}));
}

TEST(NormalizeRanking, Table) {
  struct Case {
    Rows in, want;
  } cases[] = {
      {{{2, NaN, 4, Inf}}, {{0, 0, 1, 0}}},
      {{{-Inf, 1}, {3, 2}}, {{0, 0}, {1, 0.5}}},
      {{{3, 3}, {NaN, 3}}, {{0, 0}, {0, 0}}},
      {{{NaN, Inf}}, {{0, 0}}},
      {{{-1e308, 0}, {NaN, 1e308}}, {{0, 0.5}, {0, 1}}},
      {{}, {}},
  };
  for (const auto &c : cases) {
    const std::size_t n = c.in.empty() ? 0 : c.in[0].size();
    Matrix m(static_cast<Eigen::Index>(c.in.size()), static_cast<Eigen::Index>(n));
    for (std::size_t i = 0; i < c.in.size(); ++i)
      for (std::size_t j = 0; j < n; ++j)
        m(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = c.in[i][j];
    EXPECT_EQ(to_rows(rotation::normalize_ranking(m)), c.want);
  }
}

TEST(ArgsortStable, Table) {
  struct Case {
    std::vector<double> in;
    std::vector<std::size_t> want;
  } cases[] = {
      {{}, {}},
      {{3, 1, 3, 1}, {1, 3, 0, 2}},
      {{0.0, -0.0, 0.0}, {0, 1, 2}},
      {{NaN, 1, -Inf, NaN, 0}, {2, 4, 1, 0, 3}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(rotation::argsort_stable(c.in), c.want);
  }
}

TEST(ApplyPriceStops, NeedsMatchingPriceWhenAStopIsOn) {
  Matrix held = Matrix::Ones(2, 2);
  Matrix exit = Matrix::Zero(2, 2);
  std::vector<double> entry_price(2, NaN), peak(2, 1.0);
  HoldUntilOpts off;
  EXPECT_TRUE(rotation::apply_price_stops(held, entry_price, peak, exit, nullptr, 1, off));

  HoldUntilOpts on;
  on.take_profit = 0.5;
  auto r = rotation::apply_price_stops(held, entry_price, peak, exit, nullptr, 1, on);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "eval error: price required when stop rules enabled");

  const Matrix small = Matrix::Ones(1, 2);
  for (std::size_t t : {0, 2}) {
    EXPECT_FALSE(rotation::apply_price_stops(held, entry_price, peak, exit, &held, t, on));
  }
  EXPECT_FALSE(rotation::apply_price_stops(held, entry_price, peak, exit, &small, 1, on));
  EXPECT_TRUE(exit.isZero());
}

namespace {

// The earlier form, which fully sorts each row's scores, kept as the reference for the form that
// only selects the top places.
Panel previous_hold_until(const Panel &entry_in, const Panel &exit_in, const HoldUntilOpts &opts) {
  auto [entry_p, exit_p] = align::align(entry_in, exit_in);
  const auto T = static_cast<Eigen::Index>(entry_p.rows());
  const std::size_t n = entry_p.cols();
  const std::size_t limit = std::min(opts.nstocks_limit.value_or(n), n);
  const bool ranked = opts.rank != nullptr;
  const Matrix priority =
      ranked ? rotation::normalize_ranking(opts.rank->project_onto(entry_p.dates, entry_p.symbols))
             : Matrix();
  std::optional<Matrix> price;
  if (opts.price != nullptr) {
    price = opts.price->project_onto(entry_p.dates, entry_p.symbols);
  }
  Matrix entry = (entry_p.data == 1.0).cast<double>();
  Matrix ex = (exit_p.data == 1.0).cast<double>();
  Matrix held = Matrix::Zero(T, static_cast<Eigen::Index>(n));
  std::vector<double> score(n);
  const auto pick_top = [&](Eigen::Index t, const std::vector<double> &values) {
    const auto order = rotation::argsort_stable(values);
    for (std::size_t k = 0; k < limit; ++k) {
      held(t, static_cast<Eigen::Index>(order[n - 1 - k])) = 1.0;
    }
  };
  if (T > 0) {
    for (std::size_t j = 0; j < n; ++j) {
      score[j] = entry(0, static_cast<Eigen::Index>(j));
    }
    pick_top(0, score);
    for (Eigen::Index j = 0; j < static_cast<Eigen::Index>(n); ++j) {
      if (ex(0, j) == 1.0 || entry(0, j) == 0.0) {
        held(0, j) = 0.0;
      }
    }
  }
  std::vector<double> entry_price(n, NaN);
  std::vector<double> peak(n, 1.0);
  for (Eigen::Index t = 1; t < T; ++t) {
    if (price) {
      (void)rotation::apply_price_stops(held, entry_price, peak, ex, &*price,
                                        static_cast<std::size_t>(t), opts);
    }
    for (std::size_t j = 0; j < n; ++j) {
      const auto jj = static_cast<Eigen::Index>(j);
      const double prev = held(t - 1, jj);
      double s = 3.0 * prev + entry(t, jj) * (ranked ? priority(t, jj) : 0.0);
      if (ex(t, jj) == 1.0 || (entry(t, jj) == 0.0 && prev == 0.0)) {
        s = -1.0;
      }
      score[j] = s;
    }
    pick_top(t, score);
    for (std::size_t j = 0; j < n; ++j) {
      if (score[j] == -1.0) {
        held(t, static_cast<Eigen::Index>(j)) = 0.0;
      }
    }
  }
  return Panel(std::move(entry_p.dates), std::move(entry_p.symbols), std::move(held));
}

} // namespace

TEST(HoldUntil, MatchesFullSortOnRandomPanels) {
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double rank_pool[] = {NaN, Inf, -Inf, 0.0, -0.0, 1.0, 1.0, 2.0, -3.0, 0.5};
  for (int iter = 0; iter < 120; ++iter) {
    const std::size_t T = rng() % 25;
    const std::size_t n = std::vector<std::size_t>{0, 1, 3, 17, 64, 300}[iter % 6];
    std::vector<std::string> syms;
    for (std::size_t j = 0; j < n; ++j) {
      syms.push_back("S" + std::to_string(j));
    }
    Rows entry(T), exit(T), rank(T), price(T);
    const double p_entry = unit(rng);
    for (std::size_t t = 0; t < T; ++t) {
      for (std::size_t j = 0; j < n; ++j) {
        entry[t].push_back(unit(rng) < p_entry ? 1.0 : (unit(rng) < 0.05 ? NaN : 0.0));
        exit[t].push_back(unit(rng) < 0.1 ? 1.0 : 0.0);
        rank[t].push_back(unit(rng) < 0.5 ? rank_pool[rng() % 10] : unit(rng));
        price[t].push_back(50.0 + 100.0 * unit(rng));
      }
    }
    const Panel e = grid(syms, entry), x = grid(syms, exit), r = grid(syms, rank),
                px = grid(syms, price);
    HoldUntilOpts o;
    if (iter % 2 == 0) {
      o.rank = &r;
    }
    if (iter % 3 == 0) {
      o.price = &px;
      o.stop_loss = -0.2;
      o.trail_stop = 0.1;
    }
    for (std::optional<std::size_t> limit :
         {std::optional<std::size_t>{}, std::optional<std::size_t>{0},
          std::optional<std::size_t>{1}, std::optional<std::size_t>{5},
          std::optional<std::size_t>{n > 0 ? n - 1 : 0}, std::optional<std::size_t>{n},
          std::optional<std::size_t>{n + 4}}) {
      o.nstocks_limit = limit;
      const Panel got = e.hold_until(x, o);
      const Panel want = previous_hold_until(e, x, o);
      ASSERT_EQ(got.symbols, want.symbols);
      ASSERT_EQ(to_rows(got.data), to_rows(want.data))
          << "iter " << iter << " limit " << limit.value_or(999999);
    }
  }
}
