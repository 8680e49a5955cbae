#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "core/metrics.hpp"
#include "core/report.hpp"

using namespace zorv;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double S252 = metrics::SQRT_252;

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

#define EXPECT_SAME(a, b) EXPECT_PRED2(same, a, b)

std::vector<std::int32_t> daily_dates(std::size_t n) {
  std::vector<std::int32_t> d(n);
  for (std::size_t i = 0; i < n; ++i)
    d[i] = 20240101 + static_cast<std::int32_t>(i % 28); // valid days within January
  return d;
}

Metrics metrics_of(std::vector<double> equity, std::vector<Trade> trades = {},
                   std::optional<std::vector<double>> bench = std::nullopt,
                   std::vector<double> exposure = {}) {
  BacktestRun run;
  run.dates = daily_dates(equity.size());
  run.equity = std::move(equity);
  run.trades = std::move(trades);
  run.exposure = std::move(exposure);
  return report::build_report_with_benchmark(std::move(run), std::move(bench)).metrics;
}

Trade closed(double ret, std::int32_t exit, std::uint32_t period = 1) {
  return Trade{"A", 20240101, exit, ret, period, std::nullopt, std::nullopt};
}

Trade open_trade(double ret) {
  return Trade{"A", 20240101, std::nullopt, ret, 4, std::nullopt, std::nullopt};
}

} // namespace

TEST(CurveFigures, DegenerateAndShapedCurves) {
  const double r1 = 1.05 / 1.0 - 1.0;
  struct Case {
    const char *name;
    std::vector<double> equity;
    double total_return, cagr_nan, ann_vol, sharpe, sortino, max_dd, calmar, recovery, duration;
  } cases[] = {
      // cagr_nan: 1 when cagr must be NaN, 0 when it must be a number.
      {"empty", {}, NaN, 1, NaN, NaN, NaN, NaN, NaN, NaN, 0},
      {"one point", {1.0}, 0.0, 1, NaN, NaN, NaN, 0.0, NaN, INF, 0},
      {"two points", {1.0, 1.05}, 1.05 - 1.0, 0, NaN, r1 / 1e-6 * S252, NaN, 0.0, INF, INF, 0},
      {"only rising", {1.0, 1.1, 1.3, 1.4}, 1.4 - 1.0, 0, -1, -1, NaN, 0.0, INF, INF, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Metrics m = metrics_of(c.equity);
    EXPECT_SAME(m.total_return, c.total_return);
    EXPECT_EQ(std::isnan(m.cagr), c.cagr_nan == 1);
    if (c.ann_vol != -1) {
      EXPECT_SAME(m.ann_volatility, c.ann_vol);
    }
    if (c.sharpe != -1) {
      EXPECT_SAME(m.sharpe, c.sharpe);
    }
    EXPECT_SAME(m.sortino, c.sortino);
    EXPECT_SAME(m.max_drawdown, c.max_dd);
    EXPECT_SAME(m.calmar, c.calmar);
    EXPECT_SAME(m.recovery_factor, c.recovery);
    EXPECT_SAME(m.max_drawdown_duration, c.duration);
  }
}

TEST(CurveFigures, NaNPointIsDroppedOrSkipped) {
  const std::vector<double> e = {1.0, 0.9, NaN, 0.95, 1.1};
  const auto dd = metrics::drawdown_series(e);
  ASSERT_EQ(dd.size(), 5u);
  EXPECT_EQ(dd[0], 0.0);
  EXPECT_EQ(dd[1], 0.9 - 1.0);
  EXPECT_TRUE(std::isnan(dd[2]));
  EXPECT_EQ(dd[3], 0.95 - 1.0);
  EXPECT_EQ(dd[4], 0.0);

  const Metrics m = metrics_of(e);
  EXPECT_EQ(m.max_drawdown, 0.9 - 1.0);
  EXPECT_EQ(m.max_drawdown_duration, 1.0); // the NaN entry ends the first run

  // Only r1 and r4 survive; the downside list keeps all four entries, NaN ones as 0.
  const double a = 0.9 / 1.0 - 1.0, b = 1.1 / 0.95 - 1.0;
  const double mean = (a + b) / 2.0;
  const double sd = std::sqrt(((a - mean) * (a - mean) + (b - mean) * (b - mean)) / 1.0);
  EXPECT_EQ(m.sharpe, mean / sd * S252);
  EXPECT_EQ(m.ann_volatility, sd * S252);
  const double dm = (a + 0.0 + 0.0 + 0.0) / 4.0;
  const double dsd = std::sqrt(((a - dm) * (a - dm) + 3 * (dm * dm)) / 3.0);
  EXPECT_NEAR(m.sortino, mean / dsd * S252, 1e-12);
}

TEST(CurveFigures, DeviationFloorAndInfiniteReturn) {
  // Equal returns: sigma is rounding-sized, so the floor decides.
  const std::vector<double> flat = {1.0, 1.0, 1.0};
  EXPECT_EQ(metrics::sharpe(flat), 0.0);
  EXPECT_EQ(metrics::ann_volatility(flat), 0.0);
  EXPECT_TRUE(std::isnan(metrics::sortino(flat)));
  // A zero point makes an infinite return; sigma is NaN and is floored as well.
  const std::vector<double> zero = {0.0, 1.0, 1.1};
  EXPECT_EQ(metrics::sharpe(zero), INF);
  EXPECT_TRUE(std::isnan(metrics::ann_volatility(zero)));
}

TEST(YearFrac, CalendarSpans) {
  struct Case {
    std::int32_t from, to;
    double expect;
  } cases[] = {
      {20230101, 20240101, 365.0 * 86400.0 / 31557600.0},
      {20240101, 20230101, -365.0 * 86400.0 / 31557600.0},
      {20240101, 20250101, 366.0 * 86400.0 / 31557600.0},
      {20240228, 20240301, 2.0 * 86400.0 / 31557600.0},
      {20240101, 20240101, 0.0},
      {101, 20000101, 5.0 * 146097.0 * 86400.0 / 31557600.0}, // from 0000-01-01
      {229, 301, 1.0 * 86400.0 / 31557600.0},                 // year 0 is a leap year
      {19000228, 19000301, 1.0 * 86400.0 / 31557600.0},
      {19700101, 19691231, -1.0 * 86400.0 / 31557600.0},
      // Years beyond 32767 still fit the date form and are calendar dates.
      {20240101, 400240101, 95.0 * 146097.0 * 86400.0 / 31557600.0},
      {327671231, 327680101, 1.0 * 86400.0 / 31557600.0},
      {328000228, 328000301, 2.0 * 86400.0 / 31557600.0},
      {327680228, 327680301, 2.0 * 86400.0 / 31557600.0},
      {329000228, 329000301, 1.0 * 86400.0 / 31557600.0},
      {2000000228, 2000000301, 2.0 * 86400.0 / 31557600.0},
      {2147481231, 2147480101, -365.0 * 86400.0 / 31557600.0},
      {329000229, 20240101, NaN},
      {2147481232, 20240101, NaN},
      {20230230, 20240101, NaN},
      {20230101, 20231301, NaN},
      {20230100, 20240101, NaN},
      {20230001, 20240101, NaN},
      {20230229, 20240101, NaN},
      {0, 20240101, NaN},
      {-20230101, 20240101, NaN},
      {2147483647, 20240101, NaN},
      {20240101, -2147483647 - 1, NaN},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.from);
    EXPECT_SAME(metrics::year_frac(c.from, c.to), c.expect);
  }
}

TEST(YearFrac, DrivesCagrAndCalmarOnly) {
  BacktestRun run;
  run.dates = {20230101, 20240101};
  run.equity = {1.0, 1.1};
  Metrics m = report::build_report_with_benchmark(run, std::nullopt).metrics;
  EXPECT_DOUBLE_EQ(m.cagr, std::pow(1.1, 365.25 / 365.0) - 1.0);
  EXPECT_EQ(m.calmar, INF);

  run.dates = {20230101, 20231340};
  m = report::build_report_with_benchmark(run, std::nullopt).metrics;
  EXPECT_TRUE(std::isnan(m.cagr));
  EXPECT_TRUE(std::isnan(m.calmar));
  EXPECT_EQ(m.total_return, 1.1 - 1.0);
  EXPECT_EQ(m.recovery_factor, INF);

  run.equity = {1.0, 1.0}; // 1 to any power is 1, yet the span is still unknown
  EXPECT_TRUE(std::isnan(report::build_report_with_benchmark(run, std::nullopt).metrics.cagr));
}

TEST(TradeFigures, ClosedTradeStatistics) {
  const Metrics m = metrics_of({1.0}, {closed(0.1, 2, 2), closed(-0.05, 3, 3), open_trade(-0.9),
                                       closed(-0.02, 4, 4), closed(0.0, 5, 6)});
  EXPECT_EQ(m.num_trades, 4.0);
  EXPECT_EQ(m.win_rate, 0.25);
  EXPECT_EQ(m.profit_factor, 0.1 / std::abs(-0.05 + -0.02));
  EXPECT_EQ(m.expectancy, (0.1 + -0.05 + -0.02 + 0.0) / 4.0);
  EXPECT_EQ(m.avg_holding_period, 15.0 / 4.0);
  EXPECT_EQ(m.avg_win, 0.1);
  EXPECT_EQ(m.avg_loss, (-0.05 + -0.02) / 2.0);
  EXPECT_EQ(m.payoff_ratio, 0.1 / std::abs(m.avg_loss));
  EXPECT_EQ(m.best_trade, 0.1);
  EXPECT_EQ(m.worst_trade, -0.05);
  EXPECT_EQ(m.max_consecutive_losses, 2.0);
}

TEST(TradeFigures, DegenerateTradeLists) {
  struct Case {
    const char *name;
    std::vector<Trade> trades;
    double num, win_rate, profit_factor, expectancy, avg_loss, payoff, best, worst, mcl;
  } cases[] = {
      {"none", {}, 0, NaN, NaN, NaN, NaN, NaN, NaN, NaN, 0},
      {"only open", {open_trade(0.3)}, 0, NaN, NaN, NaN, NaN, NaN, NaN, NaN, 0},
      {"only winners", {closed(0.1, 2), closed(0.3, 3)}, 2, 1.0, INF, 0.2, NaN, NaN, 0.3, 0.1, 0},
      {"all NaN", {closed(NaN, 2), closed(NaN, 3)}, 2, 0.0, INF, NaN, NaN, NaN, -INF, INF, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Metrics m = metrics_of({1.0}, c.trades);
    EXPECT_SAME(m.num_trades, c.num);
    EXPECT_SAME(m.win_rate, c.win_rate);
    EXPECT_SAME(m.profit_factor, c.profit_factor);
    EXPECT_SAME(m.expectancy, c.expectancy);
    EXPECT_SAME(m.avg_loss, c.avg_loss);
    EXPECT_SAME(m.payoff_ratio, c.payoff);
    EXPECT_SAME(m.best_trade, c.best);
    EXPECT_SAME(m.worst_trade, c.worst);
    EXPECT_SAME(m.max_consecutive_losses, c.mcl);
  }
}

TEST(TradeFigures, LossRunsFollowExitDatesWithStableTies) {
  const Trade t1 = closed(-0.05, 5), t2 = closed(0.1, 5), t3 = closed(-0.02, 6);
  struct Case {
    std::vector<Trade> trades;
    double expect;
  } cases[] = {
      {{t1, t2, t3}, 1.0},
      {{t2, t1, t3}, 2.0},
      {{t3, t2, t1}, 2.0}, // walked as t2, t1, t3
      {{t3, t1, t2}, 1.0}, // walked as t1, t2, t3
      {{closed(-0.1, 9), closed(-0.1, 1), closed(NaN, 5), closed(-0.1, 3)}, 2.0},
  };
  for (const Case &c : cases)
    EXPECT_EQ(metrics::max_consecutive_losses(c.trades), c.expect);
}

TEST(Exposure, TimeInMarketAndAverage) {
  struct Case {
    std::vector<double> exposure;
    double time_in_market, avg_exposure;
  } cases[] = {
      {{}, NaN, NaN},
      {{0.0, 0.5, 1.0, 0.5}, 0.75, 0.5},
      {{0.0, NaN, 1.0, -0.5}, 0.25, NaN},
  };
  for (const Case &c : cases) {
    const Metrics m = metrics_of({1.0}, {}, std::nullopt, c.exposure);
    EXPECT_SAME(m.time_in_market, c.time_in_market);
    EXPECT_SAME(m.avg_exposure, c.avg_exposure);
  }
}

TEST(BenchmarkFigures, IdenticalFlatAndMissingBenchmarks) {
  const std::vector<double> e = {1.0, 1.02, 0.99, 1.05, 1.04};
  {
    const Metrics m = metrics_of(e, {}, e);
    EXPECT_NEAR(*m.beta, 1.0, 1e-12);
    EXPECT_NEAR(*m.alpha, 0.0, 1e-12);
    EXPECT_EQ(*m.tracking_error, 0.0);
    EXPECT_EQ(*m.information_ratio, 0.0);
    EXPECT_EQ(*m.excess_return, 0.0);
    EXPECT_EQ(*m.benchmark_return, 1.04 - 1.0);
  }
  {
    const Metrics m = metrics_of(e, {}, std::vector<double>(e.size(), 2.0));
    EXPECT_TRUE(std::isnan(*m.beta));
    EXPECT_TRUE(std::isnan(*m.alpha));
    EXPECT_EQ(*m.tracking_error, metrics::ann_volatility(e));
    EXPECT_EQ(*m.benchmark_return, 0.0);
  }
  {
    const Metrics m = metrics_of(e, {}, std::vector<double>(e.size(), NaN));
    for (const auto *f : {&m.benchmark_return, &m.alpha, &m.beta, &m.excess_return,
                          &m.tracking_error, &m.information_ratio}) {
      ASSERT_TRUE(f->has_value());
      EXPECT_TRUE(std::isnan(**f));
    }
  }
  {
    const Metrics m = metrics_of(e);
    for (const auto *f : {&m.benchmark_return, &m.alpha, &m.beta, &m.excess_return,
                          &m.tracking_error, &m.information_ratio})
      EXPECT_FALSE(f->has_value());
  }
  // A leading zero is the first non-NaN value, so the benchmark return cannot be formed.
  EXPECT_TRUE(
      std::isnan(*metrics_of(e, {}, std::vector<double>{NaN, 0.0, 1, 2, 3}).benchmark_return));
}

TEST(BenchmarkFigures, PairsSkipNaNNeighboursAndShorterCurve) {
  const std::vector<double> e = {1.0, 1.1, 1.2, 1.3, 1.4, 1.5};
  const std::vector<double> b = {NaN, 1.0, 2.0, NaN, 4.0};
  const auto p = metrics::paired_returns(e, b);
  ASSERT_EQ(p.strategy.size(), 1u); // only index 2 has both returns defined
  EXPECT_EQ(p.strategy[0], 1.2 / 1.1 - 1.0);
  EXPECT_EQ(p.benchmark[0], 1.0);
  EXPECT_TRUE(std::isnan(metrics::beta(e, b)));
  EXPECT_EQ(metrics::information_ratio(e, b), (1.2 / 1.1 - 1.0 - 1.0) / 1e-6 * S252);
  EXPECT_TRUE(std::isnan(metrics::tracking_error(e, b)));
}

TEST(BenchmarkFigures, BetaVarianceIsASquaredDeviation) {
  const std::vector<double> e = {1.0, 1.01, 0.98, 1.03, 1.05};
  const std::vector<double> b = {1.0, 1.01, 1.0, 1.02, 1.03};
  std::vector<double> s, c;
  for (std::size_t i = 1; i < e.size(); ++i) {
    s.push_back(e[i] / e[i - 1] - 1.0);
    c.push_back(b[i] / b[i - 1] - 1.0);
  }
  const double k = 4.0;
  const double ms = (((0.0 + s[0]) + s[1]) + s[2] + s[3]) / k;
  const double mc = (((0.0 + c[0]) + c[1]) + c[2] + c[3]) / k;
  double ss = 0.0, q = 0.0;
  for (std::size_t i = 0; i < 4; ++i) {
    ss += (c[i] - mc) * (c[i] - mc);
    q += (c[i] - mc) * (s[i] - ms);
  }
  const double sd = std::sqrt(ss / (k - 1.0));
  const double beta = q / (k - 1.0) / (sd * sd);
  // The data is chosen so that the plain variance would give other bits.
  ASSERT_NE(beta, q / (k - 1.0) / (ss / (k - 1.0)));
  ASSERT_NE(beta, q / ss);
  EXPECT_EQ(metrics::beta(e, b), beta);
  EXPECT_EQ(metrics::alpha(e, b), (ms - beta * mc) * 252.0);
}

TEST(PeriodReturns, MonthAndYearBoundaries) {
  const std::vector<std::int32_t> d = {20231228, 20231229, 20240130, 20240131, 20240201, 20240202};
  const std::vector<double> e = {1.0, 0.9, 1.0, 1.1, 1.21, 1.331};
  const auto months = metrics::period_returns(d, e, true);
  ASSERT_EQ(months.size(), 3u);
  EXPECT_EQ(months[0].period, "2023-12");
  EXPECT_EQ(months[0].ret, 0.9 / 1.0 - 1.0);
  EXPECT_EQ(months[1].period, "2024-01");
  EXPECT_EQ(months[1].ret, 1.1 / 0.9 - 1.0);
  EXPECT_EQ(months[2].period, "2024-02");
  EXPECT_EQ(months[2].ret, 1.331 / 1.1 - 1.0);
  const auto years = metrics::period_returns(d, e, false);
  ASSERT_EQ(years.size(), 2u);
  EXPECT_EQ(years[0].period, "2023");
  EXPECT_EQ(years[1].period, "2024");
  EXPECT_EQ(years[1].ret, 1.331 / 0.9 - 1.0);
}

TEST(PeriodReturns, DegenerateInputsAndLabels) {
  struct Case {
    std::vector<std::int32_t> dates;
    std::vector<double> equity;
    bool monthly;
    std::vector<std::string> labels;
  } cases[] = {
      {{}, {}, true, {}},
      {{20240101, 20240102}, {1.0}, true, {}},
      {{20240105}, {1.5}, true, {"2024-01"}},
      {{20240101, 20240201, 20240102}, {1, 2, 3}, true, {"2024-01", "2024-02", "2024-01"}},
      {{990101, 20241201}, {1, 2}, true, {"99-01", "2024-12"}},
      {{-20240301}, {1}, true, {"-2024--3"}},
      {{-20240301}, {1}, false, {"-2024"}},
  };
  for (const Case &c : cases) {
    const auto out = metrics::period_returns(c.dates, c.equity, c.monthly);
    ASSERT_EQ(out.size(), c.labels.size());
    for (std::size_t i = 0; i < out.size(); ++i)
      EXPECT_EQ(out[i].period, c.labels[i]);
  }
  EXPECT_EQ(metrics::period_returns(std::vector<std::int32_t>{20240105}, std::vector<double>{1.5},
                                    false)[0]
                .ret,
            0.0);
}

TEST(Rolling, WindowBoundaryAndFreshWindows) {
  std::vector<double> e = {1.0};
  for (int i = 1; i < 300; ++i)
    e.push_back(e.back() * (1.0 + 0.01 * std::sin(i * 0.7)));
  for (std::size_t n : {0u, 1u, 252u, 253u, 300u}) {
    SCOPED_TRACE(n);
    const std::span<const double> curve(e.data(), n);
    const auto rs = metrics::rolling_sharpe(curve, 252);
    const auto rv = metrics::rolling_volatility(curve, 252);
    ASSERT_EQ(rs.size(), n);
    ASSERT_EQ(rv.size(), n);
    for (std::size_t t = 0; t < n; ++t) {
      if (t < 252) {
        EXPECT_TRUE(std::isnan(rs[t]) && std::isnan(rv[t]));
        continue;
      }
      // Each window is the whole return series of its own 253-point sub-curve.
      const auto sub = curve.subspan(t - 252, 253);
      EXPECT_EQ(rs[t], metrics::sharpe(sub));
      EXPECT_EQ(rv[t], metrics::ann_volatility(sub));
    }
  }
}

TEST(Rolling, ConstantAndNaNWindows) {
  std::vector<double> steady = {1.0};
  for (int i = 0; i < 4; ++i)
    steady.push_back(steady.back() * 1.01);
  const auto rs = metrics::rolling_sharpe(steady, 3);
  const auto rv = metrics::rolling_volatility(steady, 3);
  EXPECT_NEAR(rs[4], 0.01 / 1e-6 * S252, 1e-3);
  EXPECT_NEAR(rv[4], 0.0, 1e-12);

  const std::vector<double> gap = {1.0, NaN, 1.0, 1.0, 1.1};
  const auto gs = metrics::rolling_sharpe(gap, 2);
  const auto gv = metrics::rolling_volatility(gap, 2);
  EXPECT_TRUE(std::isnan(gs[2])); // r1, r2 both NaN
  EXPECT_EQ(gs[3], 0.0);          // only r3 = 0
  EXPECT_TRUE(std::isnan(gv[3]));
  const double r4 = 1.1 / 1.0 - 1.0, mid = (0.0 + r4) / 2.0;
  EXPECT_EQ(gv[4], std::sqrt(((0.0 - mid) * (0.0 - mid) + (r4 - mid) * (r4 - mid)) / 1.0) * S252);
  EXPECT_TRUE(std::isnan(metrics::rolling_sharpe(gap, 0)[4]));
}
