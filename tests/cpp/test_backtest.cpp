#include <cmath>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "core/backtest.hpp"

using namespace zorv;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

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
  std::size_t k = 0;
  for (Eigen::Index i = 0; i < m.rows(); ++i) {
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
      m(i, j) = v.at(k++);
    }
  }
  return Panel(std::move(d), std::move(s), std::move(m));
}

// One symbol "A" on consecutive days.
Panel col(std::vector<double> v) {
  auto d = days(v.size());
  return make(std::move(d), {"A"}, std::move(v));
}

BacktestRun ok(const Panel &w, const Panel &p, const BacktestConfig &cfg = {},
               const Panel *high = nullptr, const Panel *low = nullptr,
               const Panel *volume = nullptr) {
  auto r = backtest::run(w, p, high, low, volume, cfg);
  EXPECT_TRUE(r.has_value()) << r.error().to_string();
  return r.has_value() ? std::move(*r) : BacktestRun{};
}

void expect_curve(const std::vector<double> &got, const std::vector<double> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_DOUBLE_EQ(got[i], want[i]) << "at " << i;
  }
}

} // namespace

TEST(Backtest, NoConfigFollowsThePriceAndLeavesTheTradeOpen) {
  auto run = ok(col({1.0, NaN, NaN, NaN}), col({10, 11, 9.9, 12}));
  EXPECT_EQ(run.dates, days(4));
  EXPECT_EQ(run.equity[0], 1.0);
  expect_curve(run.equity, {1.0, 1.1, 0.99, 1.2});
  expect_curve(run.exposure, {1, 1, 1, 1});
  ASSERT_EQ(run.trades.size(), 1u);
  const Trade &t = run.trades[0];
  EXPECT_EQ(t.symbol, "A");
  EXPECT_EQ(t.entry_date, 20240101);
  EXPECT_FALSE(t.exit_date.has_value());
  EXPECT_EQ(t.period, 3u);
  EXPECT_DOUBLE_EQ(t.ret, 0.2);
  EXPECT_FALSE(t.mae.has_value());
  EXPECT_FALSE(t.mfe.has_value());
}

TEST(Backtest, GrossCapAndPositionLimit) {
  // A doubles, B halves.
  const Panel price = make(days(2), {"A", "B"}, {10, 10, 20, 5});
  struct Case {
    double a, b, limit, exposure, equity1;
  } cases[] = {
      {0.5, 0.3, 0, 0.8, 1.35}, // gross below 1: as given
      {1, 1, 0, 1.0, 1.25},     // scaled to 0.5, 0.5
      {-2, 2, 0, 1.0, 0.25},    // scaled to -0.5, 0.5
      {1, 1, 0.4, 0.8, 1.2},    // 0.5 clamped to 0.4
      {0.5, -0.3, 0.4, 0.7, 1.55},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << "," << c.b << " limit " << c.limit);
    BacktestConfig cfg;
    cfg.position_limit = c.limit;
    auto run = ok(make(days(2), {"A", "B"}, {c.a, c.b, NaN, NaN}), price, cfg);
    expect_curve(run.exposure, {c.exposure, c.exposure});
    expect_curve(run.equity, {1.0, c.equity1});
  }
}

TEST(Backtest, NanWeightKeepsTheInstructionAndZeroClosesTheTrade) {
  struct Case {
    double fee, tax, slip, ret, equity3;
  } cases[] = {
      {0, 0, 0, 0.5, 1.2},
      // Entry costs 0.4 * 0.004; the exit sells the drifted 0.5: 0.5 * 0.004 + 0.5 * 0.002.
      {0.001, 0.002, 0.003, 1.5 * 0.996 * 0.994 - 1, 0.9984 * 1.2 * 0.997},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fee);
    BacktestConfig cfg;
    cfg.fee_ratio = c.fee;
    cfg.tax_ratio = c.tax;
    cfg.slippage_ratio = c.slip;
    auto run = ok(col({0.4, NaN, 0.0, NaN}), col({10, 12, 15, 15}), cfg);
    expect_curve(run.exposure, {0.4, 0.4, 0, 0});
    EXPECT_DOUBLE_EQ(run.equity[3], c.equity3);
    ASSERT_EQ(run.trades.size(), 1u);
    const Trade &t = run.trades[0];
    EXPECT_EQ(t.entry_date, 20240101);
    EXPECT_EQ(t.exit_date, std::optional<std::int32_t>(20240103));
    EXPECT_EQ(t.period, 2u);
    EXPECT_DOUBLE_EQ(t.ret, c.ret);
  }
}

TEST(Backtest, PriceOnlyMoveIsNoRebalance) {
  // Repeating an instruction is not a change; only day 3 moves the held row.
  const Panel w = make(days(4), {"A", "B"}, {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.25, 0.5});
  const Panel p = make(days(4), {"A", "B"}, {10, 10, 20, 10, 10, 10, 10, 10});
  BacktestConfig cfg;
  cfg.fee_ratio = 0.01;
  auto run = ok(w, p, cfg);
  // Day 1 keeps the drifted 2/3, 1/3; day 2 drifts them back to 0.5, 0.5; day 3 trades 0.25.
  expect_curve(run.equity, {0.99, 1.485, 0.99, 0.99 * 0.9975});
}

TEST(Backtest, CostsOfOpeningAndClosing) {
  struct Case {
    double w0, w1, fee, tax, equity0, equity1;
  } cases[] = {
      {-0.5, NaN, 0, 0.001, 0.9995, 0.9995}, // opening a short is a decrease
      {0.5, NaN, 0, 0.001, 1.0, 1.0},
      {0.5, 0, 0, 0.001, 1.0, 0.9995},
      {-0.5, 0, 0, 0.001, 0.9995, 0.9995}, // covering is an increase
      {0.5, -0.5, 0.002, 0.001, 0.999, 0.999 * 0.997},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.w0 << " -> " << c.w1);
    BacktestConfig cfg;
    cfg.fee_ratio = c.fee;
    cfg.tax_ratio = c.tax;
    auto run = ok(col({c.w0, c.w1}), col({10, 10}), cfg);
    expect_curve(run.equity, {c.equity0, c.equity1});
  }
}

TEST(Backtest, ParticipationCapsAndImpact) {
  // Price 10, weight 0.5, capital 1e6 unless stated: dollar volume is 10 x volume.
  struct Case {
    double capital, participation, impact;
    std::optional<double> volume;
    double exposure, equity0;
  } cases[] = {
      {1e6, 0, 0.1, 1e5, 0.5, 1 - 0.1 * 0.5 * std::sqrt(0.5)},
      {1e6, 0, 0.1, 5e4, 0.5, 0.95},   // capital x delta equals dollar volume: saturated
      {1e6, 0, 0.1, 2.5e4, 0.5, 0.95}, // beyond it: still coef x delta
      {1e6, 0, 0.1, NaN, 0.5, 1.0},
      {1e6, 0, 0.1, -100, 0.5, 1.0},
      {1e6, 0.1, 0, 1e5, 0.1, 1.0},
      {1e6, 0.1, 0, -100, 0.5, 1.0}, // unusable volume: no cap
      {1e6, 0.1, 0, 0, 0.0, 1.0},
      {1e6, 0.1, 0.1, 1e5, 0.1, 1 - 0.1 * 0.1 * std::sqrt(0.1)},
      {1e6, 0.1, 0.1, std::nullopt, 0.5, 1.0},
      {0, 0.1, 0.1, 1e5, 0.5, 1.0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.participation << " " << c.impact << " " << c.volume.value_or(-1));
    BacktestConfig cfg;
    cfg.initial_capital = c.capital;
    cfg.max_participation = c.participation;
    cfg.impact_coef = c.impact;
    const Panel vol = col({c.volume.value_or(NaN)});
    auto run = ok(col({0.5}), col({10}), cfg, nullptr, nullptr, c.volume ? &vol : nullptr);
    expect_curve(run.exposure, {c.exposure});
    expect_curve(run.equity, {c.equity0});
    EXPECT_EQ(run.trades.size(), c.exposure > 0 ? 1u : 0u);
  }
}

TEST(Backtest, DelistingWritesOffEquityAndExitsTheTrade) {
  // Three missing prices from day 2: delisted on day 4, back on day 5 with no instruction.
  struct Case {
    double weight, equity4;
  } cases[] = {
      {0.2, 0.9998 * 0.92},  // long 0.24/1.04 loses half
      {-0.2, 0.9998 * 1.08}, // short -0.25 settled at half: equity rises
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.weight);
    BacktestConfig cfg;
    cfg.delist_after = 3;
    cfg.delist_haircut = 0.5;
    cfg.fee_ratio = 0.001;
    auto run = ok(col({c.weight, NaN, NaN, NaN, NaN, NaN}), col({10, 12, NaN, NaN, NaN, 11}), cfg);
    const double a = std::abs(c.weight);
    expect_curve(run.exposure, {a, a, a, a, 0, 0});
    EXPECT_DOUBLE_EQ(run.equity[4], c.equity4);
    EXPECT_EQ(run.equity[5], run.equity[4]);
    ASSERT_EQ(run.trades.size(), 1u);
    const Trade &t = run.trades[0];
    EXPECT_EQ(t.exit_date, std::optional<std::int32_t>(20240105));
    EXPECT_EQ(t.period, 4u);
    // Exit at half the last valid price 12, no exit costs.
    EXPECT_DOUBLE_EQ(t.ret, 0.6 * 0.999 - 1);
  }
}

TEST(Backtest, MissingLeadingPricesDelistASymbolThatNeverTraded) {
  BacktestConfig cfg;
  cfg.delist_after = 3;
  auto run = ok(col({0.5, 0.5, 0.5, 0.5}), col({NaN, NaN, NaN, 10}), cfg);
  expect_curve(run.exposure, {0.5, 0.5, 0, 0.5});
  expect_curve(run.equity, {1, 1, 1, 1});
  ASSERT_EQ(run.trades.size(), 2u);
  EXPECT_EQ(run.trades[0].exit_date, std::optional<std::int32_t>(20240103));
  EXPECT_EQ(run.trades[0].ret, 0.0); // no price to exit at
  EXPECT_EQ(run.trades[1].entry_date, 20240104);
  EXPECT_FALSE(run.trades[1].exit_date.has_value());
  EXPECT_EQ(run.trades[1].period, 0u);
}

TEST(Backtest, FlipStaysOneTradeWithExcursionsByEntrySign) {
  // Row 1 lacks its high and is skipped; row 3 lies after the exit.
  const Panel price = col({10, 11, 12, 12});
  const Panel high = col({10.5, NaN, 13, 100});
  const Panel low = col({9.5, 9.0, 11, 1});
  struct Case {
    double sign, mae, mfe;
  } cases[] = {
      {1, -0.05, 0.3},
      {-1, -0.3, 0.05},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.sign);
    auto run = ok(col({0.5 * c.sign, -0.5 * c.sign, 0, NaN}), price, {}, &high, &low);
    ASSERT_EQ(run.trades.size(), 1u);
    const Trade &t = run.trades[0];
    EXPECT_EQ(t.entry_date, 20240101);
    EXPECT_EQ(t.exit_date, std::optional<std::int32_t>(20240103));
    EXPECT_EQ(t.period, 2u);
    EXPECT_DOUBLE_EQ(t.ret, 0.2); // no direction
    ASSERT_TRUE(t.mae && t.mfe);
    EXPECT_NEAR(*t.mae, c.mae, 1e-12);
    EXPECT_NEAR(*t.mfe, c.mfe, 1e-12);
  }
}

TEST(Backtest, ExcursionsAbsentWithoutUsableHighAndLow) {
  const Panel high = col({11, 12});
  const Panel low = col({9, 10});
  const Panel nan = col({NaN, NaN});
  struct Case {
    const Panel *high, *low;
    double entry_price;
  } cases[] = {
      {&high, nullptr, 10},
      {nullptr, &low, 10},
      {&high, &nan, 10},
      {&high, &low, 0},
  };
  for (const auto &c : cases) {
    auto run = ok(col({1, NaN}), col({c.entry_price, 10}), {}, c.high, c.low);
    ASSERT_EQ(run.trades.size(), 1u);
    EXPECT_FALSE(run.trades[0].mae.has_value());
    EXPECT_FALSE(run.trades[0].mfe.has_value());
  }
}

TEST(Backtest, TradesComeSymbolBySymbolInEntryOrder) {
  const Panel w = make(days(3), {"A", "B"}, {0, 1, 1, 0, 0, 1});
  const Panel p = make(days(3), {"A", "B"}, {1, 1, 1, 1, 1, 1});
  auto run = ok(w, p);
  ASSERT_EQ(run.trades.size(), 3u);
  EXPECT_EQ(run.trades[0].symbol, "A");
  EXPECT_EQ(run.trades[1].symbol, "B");
  EXPECT_EQ(run.trades[1].entry_date, 20240101);
  EXPECT_EQ(run.trades[2].symbol, "B");
  EXPECT_EQ(run.trades[2].entry_date, 20240103);
}

TEST(Backtest, NoSymbolsGivesAFlatCurve) {
  BacktestConfig cfg;
  cfg.fee_ratio = 0.01;
  auto run = ok(make({20240101, 20240102}, {"X"}, {1, 1}),
                make({20240102, 20240103}, {"Y"}, {10, 11}), cfg);
  EXPECT_EQ(run.dates, days(3));
  EXPECT_EQ(run.equity, std::vector<double>({1, 1, 1}));
  EXPECT_EQ(run.exposure, std::vector<double>({0, 0, 0}));
  EXPECT_TRUE(run.trades.empty());
}

TEST(Backtest, EmptyGridGivesAnEmptyRun) {
  for (std::size_t cols : {0, 2}) {
    std::vector<std::string> syms(cols, "A");
    auto run = ok(make({}, syms, {}), make({}, syms, {}));
    EXPECT_TRUE(run.dates.empty());
    EXPECT_TRUE(run.equity.empty());
    EXPECT_TRUE(run.exposure.empty());
    EXPECT_TRUE(run.trades.empty());
  }
}

TEST(Backtest, InfiniteWeightFails) {
  BacktestConfig delist;
  delist.delist_after = 1;
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
      {col({0.5, Inf}), col({1, NaN}), delist, nullptr},
      {make(days(1), {"A", "Z"}, {0.5, Inf}), col({1}), {}, nullptr},
  };
  for (const auto &c : cases) {
    auto r = backtest::run(c.w, c.p, nullptr, nullptr, nullptr, c.cfg);
    if (c.err == nullptr) {
      EXPECT_TRUE(r.has_value());
    } else {
      ASSERT_FALSE(r.has_value());
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
      const bool filled = i == 1 && j != 1;
      if (filled) {
        EXPECT_EQ((*m)(i, j), 9.0);
      } else {
        EXPECT_TRUE(std::isnan((*m)(i, j))) << i << "," << j;
      }
    }
  }
  // Sources without rows or columns give an all-NaN grid of the grid's shape.
  for (const Panel &empty : {Panel({}, {"A"}), Panel({20240101}, {})}) {
    auto e = backtest::conform_to(grid, &empty);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rows(), 3);
    EXPECT_EQ(e->cols(), 3);
    EXPECT_TRUE(e->isNaN().all());
  }
}
