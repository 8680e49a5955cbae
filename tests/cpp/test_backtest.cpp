#include <cmath>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "core/backtest.hpp"

using namespace zorv;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
using Col = std::optional<std::vector<double>>;

std::vector<std::int32_t> days(std::size_t n) {
  std::vector<std::int32_t> d(n);
  for (std::size_t i = 0; i < n; ++i) {
    d[i] = 20240101 + static_cast<std::int32_t>(i);
  }
  return d;
}

// Values row by row.
Panel make(std::vector<std::int32_t> d, std::vector<std::string> s, std::vector<double> v) {
  Matrix m(static_cast<Eigen::Index>(d.size()), static_cast<Eigen::Index>(s.size()));
  std::copy(v.begin(), v.end(), m.data());
  return Panel(std::move(d), std::move(s), std::move(m));
}

// One symbol "A" on consecutive days.
Panel col(std::vector<double> v) {
  auto d = days(v.size());
  return make(std::move(d), {"A"}, std::move(v));
}

BacktestRun ok(const Panel &w, const Panel &p, const BacktestConfig &cfg, const Col &high = {},
               const Col &low = {}, const Col &volume = {}) {
  const auto opt = [](const Col &c) { return c ? std::optional<Panel>(col(*c)) : std::nullopt; };
  const auto h = opt(high), l = opt(low), v = opt(volume);
  auto r = backtest::run(w, p, h ? &*h : nullptr, l ? &*l : nullptr, v ? &*v : nullptr, cfg);
  EXPECT_TRUE(r.has_value()) << r.error().to_string();
  return r.has_value() ? std::move(*r) : BacktestRun{};
}

void expect_near(const std::vector<double> &got, const std::vector<double> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(got[i], want[i], 1e-12) << "at " << i;
  }
}

void expect_near(std::optional<double> got, std::optional<double> want) {
  ASSERT_EQ(got.has_value(), want.has_value());
  if (want) {
    EXPECT_NEAR(*got, *want, 1e-12);
  }
}

} // namespace

// One symbol: equity and exposure, worked out by hand.
TEST(Backtest, EquityAndExposure) {
  const BacktestConfig impact{.initial_capital = 1e6, .impact_coef = 0.1};
  const BacktestConfig caps{.initial_capital = 1e6, .max_participation = 0.1};
  const BacktestConfig delist{.fee_ratio = 0.001, .delist_after = 3, .delist_haircut = 0.5};
  struct Case {
    const char *name;
    std::vector<double> w, p;
    BacktestConfig cfg;
    std::vector<double> equity, exposure;
    std::optional<double> volume = {}; // on every date
  } cases[] = {
      {"no config follows the price",
       {1, NaN, NaN, NaN},
       {10, 11, 9.9, 12},
       {},
       {1, 1.1, 0.99, 1.2},
       {1, 1, 1, 1}},
      // The exit sells the drifted 0.5: 0.5 x (fee + slippage) + 0.5 x tax.
      {"NaN keeps, zero closes",
       {0.4, NaN, 0, NaN},
       {10, 12, 15, 15},
       {.fee_ratio = 0.001, .tax_ratio = 0.002, .slippage_ratio = 0.003},
       {0.9984, 0.9984 * 1.08, 0.9984 * 1.2 * 0.997, 0.9984 * 1.2 * 0.997},
       {0.4, 0.4, 0, 0}},
      {"opening a short is taxed",
       {-0.5, NaN},
       {10, 10},
       {.tax_ratio = 0.001},
       {0.9995, 0.9995},
       {0.5, 0.5}},
      {"closing a long is taxed", {0.5, 0}, {10, 10}, {.tax_ratio = 0.001}, {1, 0.9995}, {0.5, 0}},
      {"covering is not taxed",
       {-0.5, 0},
       {10, 10},
       {.tax_ratio = 0.001},
       {0.9995, 0.9995},
       {0.5, 0}},
      {"flip",
       {0.5, -0.5},
       {10, 10},
       {.fee_ratio = 0.002, .tax_ratio = 0.001},
       {0.999, 0.999 * 0.997},
       {0.5, 0.5}},
      {"impact", {0.5}, {10}, impact, {1 - 0.1 * 0.5 * std::sqrt(0.5)}, {0.5}, 1e5},
      {"impact saturates", {0.5}, {10}, impact, {0.95}, {0.5}, 5e4},
      {"impact saturated", {0.5}, {10}, impact, {0.95}, {0.5}, 2.5e4},
      {"impact, NaN volume", {0.5}, {10}, impact, {1}, {0.5}, NaN},
      {"impact, negative volume", {0.5}, {10}, impact, {1}, {0.5}, -100},
      {"impact, no volume", {0.5}, {10}, impact, {1}, {0.5}},
      {"impact, no capital", {0.5}, {10}, {.impact_coef = 0.1}, {1}, {0.5}, 1e5},
      {"cap", {0.5}, {10}, caps, {1}, {0.1}, 1e5},
      {"cap, negative volume", {0.5}, {10}, caps, {1}, {0.5}, -100},
      {"cap, zero volume", {0.5}, {10}, caps, {1}, {0}, 0},
      {"cap and impact",
       {0.5},
       {10},
       {.initial_capital = 1e6, .max_participation = 0.1, .impact_coef = 0.1},
       {1 - 0.1 * 0.1 * std::sqrt(0.1)},
       {0.1},
       1e5},
      // Delisted on day 4; day 5's price comes back without an instruction.
      {"delisted long",
       {0.2, NaN, NaN, NaN, NaN, NaN},
       {10, 12, NaN, NaN, NaN, 11},
       delist,
       {0.9998, 0.9998 * 1.04, 0.9998 * 1.04, 0.9998 * 1.04, 0.9998 * 0.92, 0.9998 * 0.92},
       {0.2, 0.2, 0.2, 0.2, 0, 0}},
      {"delisted short rises",
       {-0.2, NaN, NaN, NaN, NaN, NaN},
       {10, 12, NaN, NaN, NaN, 11},
       delist,
       {0.9998, 0.9998 * 0.96, 0.9998 * 0.96, 0.9998 * 0.96, 0.9998 * 1.08, 0.9998 * 1.08},
       {0.2, 0.2, 0.2, 0.2, 0, 0}},
      {"delisted before trading",
       {0.5, 0.5, 0.5, 0.5},
       {NaN, NaN, NaN, 10},
       {.delist_after = 3},
       {1, 1, 1, 1},
       {0.5, 0.5, 0, 0.5}},
      // The move from the last quote to the next is earned on the next quoted date.
      {"gap",
       {1, NaN, NaN, NaN, NaN},
       {10, 11, NaN, 12, 13},
       {},
       {1, 1.1, 1.1, 1.2, 1.3},
       {1, 1, 1, 1, 1}},
      {"gap of two", {1, NaN, NaN, NaN}, {10, NaN, NaN, 13}, {}, {1, 1, 1, 1.3}, {1, 1, 1, 1}},
      {"entered on a missing price", {NaN, 1, NaN}, {10, NaN, 12}, {}, {1, 1, 1.2}, {0, 1, 1}},
      {"before the first price", {1, NaN, NaN}, {NaN, 10, 11}, {}, {1, 1, 1.1}, {1, 1, 1}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Col volume;
    if (c.volume) {
      volume = std::vector<double>(c.w.size(), *c.volume);
    }
    auto run = ok(col(c.w), col(c.p), c.cfg, {}, {}, volume);
    EXPECT_EQ(run.dates, days(c.w.size()));
    expect_near(run.equity, c.equity);
    expect_near(run.exposure, c.exposure);
  }
}

// One symbol: the trade list.
TEST(Backtest, Trades) {
  const BacktestConfig delist{.fee_ratio = 0.001, .delist_after = 3, .delist_haircut = 0.5};
  const auto none = std::nullopt;
  // Row 1 lacks its high and is skipped; row 3 lies after the exit.
  const Col high = std::vector<double>{10.5, NaN, 13, 100};
  const Col low = std::vector<double>{9.5, 9.0, 11, 1};
  struct Case {
    const char *name;
    std::vector<double> w, p;
    BacktestConfig cfg;
    std::vector<Trade> trades;
    Col high = {}, low = {};
  } cases[] = {
      {"open at the end: no costs",
       {1, NaN, NaN, NaN},
       {10, 11, 9.9, 12},
       {.fee_ratio = 0.1},
       {{"A", 20240101, none, 0.2, 3, none, none}}},
      {"closed: both legs",
       {0.4, NaN, 0, NaN},
       {10, 12, 15, 15},
       {.fee_ratio = 0.001, .tax_ratio = 0.002, .slippage_ratio = 0.003},
       {{"A", 20240101, 20240103, 1.5 * 0.996 * 0.994 - 1, 2, none, none}}},
      // Half the last valid price 12, no exit leg; no direction in ret.
      {"delisted long",
       {0.2, NaN, NaN, NaN, NaN, NaN},
       {10, 12, NaN, NaN, NaN, 11},
       delist,
       {{"A", 20240101, 20240105, 0.6 * 0.999 - 1, 4, none, none}}},
      {"delisted short",
       {-0.2, NaN, NaN, NaN, NaN, NaN},
       {10, 12, NaN, NaN, NaN, 11},
       delist,
       {{"A", 20240101, 20240105, 0.6 * 0.999 - 1, 4, none, none}}},
      {"delisted before trading",
       {0.5, 0.5, 0.5, 0.5},
       {NaN, NaN, NaN, 10},
       {.delist_after = 3},
       {{"A", 20240101, 20240103, 0, 2, none, none}, {"A", 20240104, none, 0, 0, none, none}}},
      {"long flips to short",
       {0.5, -0.5, 0, NaN},
       {10, 11, 12, 12},
       {},
       {{"A", 20240101, 20240103, 0.2, 2, -0.05, 0.3}},
       high,
       low},
      {"short flips to long",
       {-0.5, 0.5, 0, NaN},
       {10, 11, 12, 12},
       {},
       {{"A", 20240101, 20240103, 0.2, 2, -0.3, 0.05}},
       high,
       low},
      {"no low",
       {-0.5, 0.5, 0, NaN},
       {10, 11, 12, 12},
       {},
       {{"A", 20240101, 20240103, 0.2, 2, none, none}},
       high},
      {"no usable row",
       {1, NaN},
       {10, 11},
       {},
       {{"A", 20240101, none, 0.1, 1, none, none}},
       std::vector<double>{NaN, 12},
       std::vector<double>{9, NaN}},
      {"entry price 0",
       {1, NaN},
       {0, 11},
       {},
       {{"A", 20240101, none, 0, 1, none, none}},
       std::vector<double>{1, 12},
       std::vector<double>{0, 10}},
      // A missing price stands at the last valid one, on entry, exit and at the end.
      {"gap, still open",
       {1, NaN, NaN, NaN, NaN},
       {10, 11, NaN, 12, 13},
       {},
       {{"A", 20240101, none, 0.3, 4, none, none}}},
      {"open, last price missing",
       {1, NaN, NaN},
       {10, 11, NaN},
       {},
       {{"A", 20240101, none, 0.1, 2, none, none}}},
      {"closed on a missing price",
       {1, NaN, 0},
       {10, 12, NaN},
       {.fee_ratio = 0.001},
       {{"A", 20240101, 20240103, 1.2 * 0.999 * 0.999 - 1, 2, none, none}}},
      {"entered on a missing price",
       {NaN, 1, NaN, 0},
       {10, NaN, 12, 15},
       {},
       {{"A", 20240102, 20240104, 0.5, 2, -0.1, 0.5}},
       std::vector<double>{NaN, 10, 13, 15},
       std::vector<double>{NaN, 9, 11, 15}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto run = ok(col(c.w), col(c.p), c.cfg, c.high, c.low);
    ASSERT_EQ(run.trades.size(), c.trades.size());
    for (std::size_t i = 0; i < c.trades.size(); ++i) {
      const Trade &got = run.trades[i], &want = c.trades[i];
      EXPECT_EQ(got.symbol, want.symbol);
      EXPECT_EQ(got.entry_date, want.entry_date);
      EXPECT_EQ(got.exit_date, want.exit_date);
      EXPECT_NEAR(got.ret, want.ret, 1e-12);
      EXPECT_EQ(got.period, want.period);
      expect_near(got.mae, want.mae);
      expect_near(got.mfe, want.mfe);
    }
  }
}

// An infinite entry price makes one row's excursion ratios inf / inf = NaN; that row is passed over
// wherever it falls, and a trade with nothing but such rows keeps NaN excursions.
TEST(Backtest, NaNExcursionRatiosAreSkipped) {
  struct Case {
    const char *name;
    double weight;
    std::vector<double> high, low;
    double mae, mfe; // NaN: present but NaN
  } cases[] = {
      {"long, NaN row first", 1, {Inf, 6, 7, 8}, {Inf, 1.5, 2, 3}, -1, -1},
      {"long, NaN row later", 1, {6, Inf, 7, 8}, {1.5, Inf, 2, 3}, -1, -1},
      {"short, NaN row first", -1, {Inf, 6, 7, 8}, {Inf, 1.5, 2, 3}, 1, 1},
      {"short, NaN row later", -1, {6, Inf, 7, 8}, {1.5, Inf, 2, 3}, 1, 1},
      {"every row NaN", 1, {Inf, Inf, Inf, Inf}, {Inf, Inf, Inf, Inf}, NaN, NaN},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto run = ok(col(std::vector<double>(4, c.weight)), col({Inf, 2, 3, 4}), {}, c.high, c.low);
    ASSERT_EQ(run.trades.size(), 1u);
    const Trade &t = run.trades[0];
    ASSERT_TRUE(t.mae && t.mfe);
    for (auto [got, want] : {std::pair{*t.mae, c.mae}, std::pair{*t.mfe, c.mfe}}) {
      if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << got;
      } else {
        EXPECT_EQ(got, want);
      }
    }
  }
}

TEST(Backtest, GrossCapAndPositionLimit) {
  // A doubles, B halves.
  const Panel price = make(days(2), {"A", "B"}, {10, 10, 20, 5});
  struct Case {
    double a, b, limit, exposure, equity1;
  } cases[] = {
      {0.5, 0.3, 0, 0.8, 1.35}, {1, 1, 0, 1.0, 1.25},        {-2, 2, 0, 1.0, 0.25},
      {1, 1, 0.4, 0.8, 1.2},    {0.5, -0.3, 0.4, 0.7, 1.55},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << "," << c.b << " limit " << c.limit);
    auto run =
        ok(make(days(2), {"A", "B"}, {c.a, c.b, NaN, NaN}), price, {.position_limit = c.limit});
    expect_near(run.exposure, {c.exposure, c.exposure});
    expect_near(run.equity, {1.0, c.equity1});
  }
}

// B is never held: no price of B, however extreme, may move the curve.
TEST(Backtest, UnheldSymbolsEarnNothing) {
  struct Case {
    const char *name;
    double b0, b1;
  } cases[] = {
      {"return overflows", 1e-300, 1e10},
      {"price becomes infinite", 10, Inf},
      {"price falls from infinity", Inf, 10},
      {"price rises from a denormal", 5e-324, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const Panel w = make(days(2), {"A", "B"}, {0.5, 0, NaN, NaN});
    const Panel p = make(days(2), {"A", "B"}, {10, c.b0, 11, c.b1});
    auto run = ok(w, p, {.fee_ratio = 0.01});
    EXPECT_EQ(run.equity, std::vector<double>({0.995, 0.995 * 1.05}));
  }
}

TEST(Backtest, PriceOnlyMoveIsNoRebalance) {
  // A repeated instruction is no change; only day 3 moves the held row.
  const Panel w = make(days(4), {"A", "B"}, {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.25, 0.5});
  const Panel p = make(days(4), {"A", "B"}, {10, 10, 20, 10, 10, 10, 10, 10});
  auto run = ok(w, p, {.fee_ratio = 0.01});
  // Day 1 keeps the drifted 2/3, 1/3; day 2 drifts them back to 0.5, 0.5; day 3 trades 0.25.
  expect_near(run.equity, {0.99, 1.485, 0.99, 0.99 * 0.9975});
}

TEST(Backtest, TradesComeSymbolBySymbolInEntryOrder) {
  const Panel w = make(days(3), {"A", "B"}, {0, 1, 1, 0, 0, 1});
  auto run = ok(w, make(days(3), {"A", "B"}, {1, 1, 1, 1, 1, 1}), {});
  ASSERT_EQ(run.trades.size(), 3u);
  EXPECT_EQ(run.trades[0].symbol + run.trades[1].symbol + run.trades[2].symbol, "ABB");
  EXPECT_EQ(run.trades[1].entry_date, 20240101);
  EXPECT_EQ(run.trades[2].entry_date, 20240103);
}

TEST(Backtest, NoSymbolsOrNoDates) {
  auto run = ok(make({20240101, 20240102}, {"X"}, {1, 1}),
                make({20240102, 20240103}, {"Y"}, {10, 11}), {.fee_ratio = 0.01});
  EXPECT_EQ(run.dates, days(3));
  EXPECT_EQ(run.equity, std::vector<double>({1, 1, 1}));
  EXPECT_EQ(run.exposure, std::vector<double>({0, 0, 0}));
  EXPECT_TRUE(run.trades.empty());

  for (std::size_t cols : {0, 2}) {
    std::vector<std::string> syms(cols, "A");
    auto empty = ok(make({}, syms, {}), make({}, syms, {}), {}, {}, std::vector<double>{1});
    EXPECT_TRUE(empty.dates.empty() && empty.equity.empty() && empty.exposure.empty() &&
                empty.trades.empty());
  }
}

TEST(Backtest, InfiniteWeightFails) {
  struct Case {
    Panel w, p;
    BacktestConfig cfg;
    const char *err; // nullptr: the run succeeds
  } cases[] = {
      {make(days(3), {"A", "B"}, {0.5, 0.5, 0.1, Inf, -Inf, 0.1}),
       make(days(3), {"A", "B"}, {1, 1, 1, 1, 1, 1}),
       {},
       "eval error: infinite weight for 'B' on 20240102"},
      {col({-Inf}), col({1}), {}, "eval error: infinite weight for 'A' on 20240101"},
      // A delisted date ignores its instruction; a symbol without prices is not simulated.
      {col({0.5, Inf}), col({1, NaN}), {.delist_after = 1}, nullptr},
      {make(days(1), {"A", "Z"}, {0.5, Inf}), col({1}), {}, nullptr},
  };
  for (const auto &c : cases) {
    auto r = backtest::run(c.w, c.p, nullptr, nullptr, nullptr, c.cfg);
    ASSERT_EQ(r.has_value(), c.err == nullptr);
    if (c.err != nullptr) {
      EXPECT_EQ(r.error().to_string(), c.err);
    }
  }
}

TEST(ConformTo, LastOccurrenceWinsAndTheGridIsNeverWidened) {
  const Panel grid({20240101, 20240102, 20240103}, {"A", "B", "A"});
  const Panel source =
      make({20240102, 20240104, 20240102}, {"A", "C", "A"}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_FALSE(backtest::conform_to(grid, nullptr).has_value());
  auto m = backtest::conform_to(grid, &source);
  ASSERT_TRUE(m.has_value());
  ASSERT_EQ(m->rows(), 3);
  ASSERT_EQ(m->cols(), 3);
  for (Eigen::Index i = 0; i < 3; ++i) {
    for (Eigen::Index j = 0; j < 3; ++j) {
      if (i == 1 && j != 1) {
        EXPECT_EQ((*m)(i, j), 9.0);
      } else {
        EXPECT_TRUE(std::isnan((*m)(i, j))) << i << "," << j;
      }
    }
  }
  for (const Panel &empty : {Panel({}, {"A"}), Panel({20240101}, {})}) {
    auto e = backtest::conform_to(grid, &empty);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rows(), 3);
    EXPECT_EQ(e->cols(), 3);
    EXPECT_TRUE(e->isNaN().all());
  }
}

// The phases one by one: the grid and its flags, the held instructions, the trade ordering.
TEST(BacktestPhases, ConformTargetsAndTradeList) {
  // B's weight date 20240103 is not a price date: it joins the grid with NaN prices.
  const Panel w = make({20240101, 20240103}, {"B", "A"}, {0.5, 0.5, NaN, 0});
  const Panel p = make({20240101, 20240102}, {"A", "B", "C"}, {10, 20, 1, 11, 22, 1});
  const Panel volume = make({20240102}, {"B"}, {100});
  const BacktestConfig cfg{.initial_capital = 1e3, .max_participation = 0.1, .delist_after = 1};
  const auto in = backtest::conform(w, p, nullptr, nullptr, &volume, cfg);
  EXPECT_EQ(in.dates, (std::vector<std::int32_t>{20240101, 20240102, 20240103}));
  EXPECT_EQ(in.symbols, (std::vector<std::string>{"B", "A"}));
  EXPECT_FALSE(in.high.has_value());
  ASSERT_TRUE(in.dollar_volume.has_value());
  EXPECT_EQ((*in.dollar_volume)(1, 0), 2200);
  EXPECT_TRUE(std::isnan((*in.dollar_volume)(0, 0)));
  EXPECT_EQ(in.flags, (std::vector<std::uint8_t>{0, 0, 0, 0, 3, 3}));

  auto held = backtest::targets(in, cfg);
  ASSERT_TRUE(held.has_value());
  // Day 2 only drifts (no rebalance); day 3 delists both.
  EXPECT_EQ(held->rebalance, (std::vector<std::uint8_t>{1, 0, 1}));
  expect_near(held->exposure, {1, 0.5 * 1 + 0.22, 0});

  const std::vector<backtest::TradeRecord> records = {
      {.col = 1, .entry = 0, .exit = 2, .closed = true},
      {.col = 0, .entry = 0, .exit = 1, .closed = true},
      {.col = 1, .entry = 2, .exit = 2},
      {.col = 0, .entry = 1, .exit = 2, .has_excursion = true, .mae = -1, .mfe = 2},
  };
  const auto trades = backtest::trade_list(in, records);
  ASSERT_EQ(trades.size(), 4u);
  const std::pair<std::string, std::int32_t> order[] = {
      {"B", 20240101}, {"B", 20240102}, {"A", 20240101}, {"A", 20240103}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(trades[i].symbol, order[i].first);
    EXPECT_EQ(trades[i].entry_date, order[i].second);
  }
  EXPECT_EQ(trades[1].mae, -1.0);
  EXPECT_FALSE(trades[0].mae.has_value());
  EXPECT_FALSE(trades[3].exit_date.has_value());
  EXPECT_EQ(trades[2].period, 2u);
}

// Dollar volume takes the last valid price, as the drift does: NaN before the first price, and a
// missing volume stays missing.
TEST(BacktestPhases, DollarVolumeAtTheLastValidPrice) {
  const Panel p = make(days(5), {"A", "B"}, {NaN, 10, 5, NaN, NaN, NaN, 6, 12, NaN, 13});
  const Panel volume = make(days(5), {"A", "B"}, {1, 1, 2, 0, 3, 3, NaN, 4, 5, 5});
  const Panel w = make(days(5), {"A", "B"}, std::vector<double>(10, NaN));
  const BacktestConfig cfg{.initial_capital = 1e3, .max_participation = 0.1};
  const auto in = backtest::conform(w, p, nullptr, nullptr, &volume, cfg);
  ASSERT_TRUE(in.dollar_volume.has_value());
  ASSERT_EQ(in.symbols, (std::vector<std::string>{"A", "B"}));
  const std::vector<double> want = {NaN, 10, 10, 0, 15, 30, NaN, 48, 30, 65};
  for (std::size_t i = 0; i < want.size(); ++i) {
    const double got = in.dollar_volume->data()[i];
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got)) << "at " << i;
    } else {
      EXPECT_EQ(got, want[i]) << "at " << i;
    }
  }
}
