#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/report.hpp"

using namespace zorv;
using quaro::Value;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

std::set<std::string> keys(const Value &v) {
  std::set<std::string> out;
  for (auto it = v.begin(); it != v.end(); ++it)
    out.insert(it.key());
  return out;
}

std::vector<std::string> key_order(const Value &v) {
  std::vector<std::string> out;
  for (auto it = v.begin(); it != v.end(); ++it)
    out.push_back(it.key());
  return out;
}

BacktestRun sample_run() {
  BacktestRun run;
  run.dates = {20240130, 20240131, 20240201, 20240202};
  run.equity = {1.0, 1.1, NaN, 1.331};
  run.exposure = {0.0, 1.0, 1.0, 1.0};
  run.trades = {{"B", 20240130, 20240201, 0.2, 2, -0.01, 0.3},
                {"A", 20240131, std::nullopt, -0.5, 2, std::nullopt, std::nullopt}};
  return run;
}

const std::set<std::string> BASE_METRICS = {"total_return",
                                            "cagr",
                                            "ann_volatility",
                                            "sharpe",
                                            "sortino",
                                            "max_drawdown",
                                            "calmar",
                                            "win_rate",
                                            "profit_factor",
                                            "expectancy",
                                            "avg_holding_period",
                                            "num_trades",
                                            "avg_win",
                                            "avg_loss",
                                            "payoff_ratio",
                                            "best_trade",
                                            "worst_trade",
                                            "max_consecutive_losses",
                                            "recovery_factor",
                                            "max_drawdown_duration",
                                            "time_in_market",
                                            "avg_exposure"};
const std::set<std::string> BENCH_METRICS = {
    "benchmark_return", "alpha", "beta", "excess_return", "tracking_error", "information_ratio"};

} // namespace

TEST(BenchmarkEquity, AsOfJoinCases) {
  struct Case {
    const char *name;
    std::vector<std::int32_t> run, bench;
    std::vector<double> values, expect;
  } cases[] = {
      {"zero and NaN",
       {1, 2, 3, 4, 5},
       {1, 2, 3, 4, 5},
       {0.0, 0.0, 5.0, NaN, 10.0},
       {NaN, NaN, 1.0, 1.0, 2.0}},
      {"negative zero", {1, 2}, {1, 2}, {-0.0, 4.0}, {NaN, 1.0}},
      {"zero after base", {1, 2}, {1, 2}, {4.0, 0.0}, {1.0, 0.0}},
      {"starts before run", {5, 6}, {1, 2, 3, 6}, {2.0, 3.0, 4.0, 8.0}, {2.0, 4.0}},
      {"stops before run", {1, 2, 3, 4}, {1, 2}, {2.0, 3.0}, {1.0, 1.5, 1.5, 1.5}},
      {"gap forward fill", {1, 2, 3}, {1, 3}, {2.0, 5.0}, {1.0, 1.0, 2.5}},
      {"out of order", {1, 2, 3}, {3, 1, 2}, {4.0, 5.0, 6.0}, {NaN, NaN, 1.5}},
      {"after last run date", {1, 2}, {1, 9}, {2.0, 8.0}, {1.0, 1.0}},
      {"no run dates", {}, {1}, {1.0}, {}},
      {"no benchmark rows", {1, 2}, {}, {}, {NaN, NaN}},
      {"fewer values than dates", {1, 2, 3}, {1, 2, 3}, {2.0}, {1.0, 1.0, 1.0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto out = report::benchmark_equity(c.run, c.bench, c.values);
    ASSERT_EQ(out.size(), c.expect.size());
    for (std::size_t i = 0; i < out.size(); ++i)
      EXPECT_PRED2(same, out[i], c.expect[i]) << i;
  }
}

TEST(BuildReport, SeriesOfOneAndNoDates) {
  BacktestRun one;
  one.dates = {20240105};
  one.equity = {1.0};
  const Report r = report::build_report_with_benchmark(one, std::nullopt);
  EXPECT_EQ(r.drawdown, std::vector<double>{0.0});
  ASSERT_EQ(r.monthly_returns.size(), 1u);
  EXPECT_EQ(r.monthly_returns[0].ret, 0.0);
  ASSERT_EQ(r.yearly_returns.size(), 1u);
  EXPECT_EQ(r.yearly_returns[0].period, "2024");
  ASSERT_EQ(r.rolling_sharpe.size(), 1u);
  EXPECT_TRUE(std::isnan(r.rolling_sharpe[0]) && std::isnan(r.rolling_volatility[0]));

  const Value j = report::to_json(report::build_report_with_benchmark({}, std::nullopt));
  for (const char *k : {"dates", "equity", "drawdown", "monthly_returns", "yearly_returns",
                        "rolling_sharpe", "rolling_volatility", "trades"}) {
    EXPECT_TRUE(j.at(k).is_array()) << k;
    EXPECT_TRUE(j.at(k).empty()) << k;
  }
  EXPECT_TRUE(j.at("metrics").at("total_return").is_null());
  EXPECT_EQ(j.at("metrics").at("max_drawdown_duration"), 0.0);
}

TEST(BuildReport, TakesRunOverUnchanged) {
  const BacktestRun run = sample_run();
  const Report r = report::build_report_with_benchmark(run, std::vector<double>{1, 2, 3, 4});
  EXPECT_EQ(r.dates, run.dates);
  ASSERT_EQ(r.trades.size(), 2u);
  EXPECT_EQ(r.trades[0].symbol, "B"); // not reordered
  EXPECT_EQ(r.benchmark, (std::vector<double>{1, 2, 3, 4}));
  EXPECT_FALSE(r.bootstrap.has_value());
  EXPECT_EQ(r.metrics.num_trades, 1.0);
  EXPECT_EQ(r.metrics.time_in_market, 0.75);
  EXPECT_EQ(r.metrics.benchmark_return, 3.0);
}

TEST(ReportJson, KeySetsAndOmissions) {
  struct Case {
    bool bench, boot;
  } cases[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.bench * 2 + c.boot);
    Report r = report::build_report_with_benchmark(
        sample_run(), c.bench ? std::optional(std::vector<double>(4, NaN)) : std::nullopt);
    if (c.boot)
      r.bootstrap = BootstrapSummary{200, 3, {NaN, 0.5, INF}, {1, 2, 3}, {-0.2, -0.1, 0.0}};
    const Value j = report::to_json(r);
    std::set<std::string> want = {"dates",   "drawdown",           "equity",
                                  "metrics", "monthly_returns",    "rolling_sharpe",
                                  "trades",  "rolling_volatility", "yearly_returns"};
    if (c.bench)
      want.insert("benchmark");
    if (c.boot)
      want.insert("bootstrap");
    EXPECT_EQ(keys(j), want);

    std::set<std::string> metric_keys = BASE_METRICS;
    if (c.bench)
      metric_keys.insert(BENCH_METRICS.begin(), BENCH_METRICS.end());
    EXPECT_EQ(keys(j.at("metrics")), metric_keys);
    if (c.bench) {
      for (const auto &k : BENCH_METRICS)
        EXPECT_TRUE(j.at("metrics").at(k).is_null()) << k;
      EXPECT_EQ(j.at("benchmark"), Value::parse("[null,null,null,null]"));
    }
    if (c.boot) {
      EXPECT_EQ(j.at("bootstrap").dump(),
                R"({"block_len":3,"cagr":{"p05":1.0,"p50":2.0,"p95":3.0},)"
                R"("max_drawdown":{"p05":-0.2,"p50":-0.1,"p95":0.0},"n_samples":200,)"
                R"("sharpe":{"p05":null,"p50":0.5,"p95":null}})");
    }
  }
}

TEST(ReportJson, SortedKeysNullsAndNumberKinds) {
  const Value j = report::to_json(report::build_report_with_benchmark(sample_run(), std::nullopt));
  EXPECT_EQ(key_order(j), (std::vector<std::string>{
                              "dates", "drawdown", "equity", "metrics", "monthly_returns",
                              "rolling_sharpe", "rolling_volatility", "trades", "yearly_returns"}));
  EXPECT_EQ(j.at("dates").dump(), "[20240130,20240131,20240201,20240202]");
  EXPECT_TRUE(j.at("dates")[0].is_number_integer());
  EXPECT_EQ(j.at("equity").dump(), "[1.0,1.1,null,1.331]");
  EXPECT_TRUE(j.at("drawdown")[2].is_null());
  EXPECT_EQ(
      j.at("monthly_returns").dump(),
      R"([{"period":"2024-01","ret":0.10000000000000009},{"period":"2024-02","ret":0.20999999999999996}])");

  EXPECT_EQ(j.at("trades").dump(),
            R"([{"entry_date":20240130,"exit_date":20240201,"mae":-0.01,"mfe":0.3,"period":2,)"
            R"("ret":0.2,"symbol":"B"},)"
            R"({"entry_date":20240131,"exit_date":null,"mae":null,"mfe":null,"period":2,)"
            R"("ret":-0.5,"symbol":"A"}])");

  const Value &m = j.at("metrics");
  for (auto it = m.begin(); it != m.end(); ++it)
    EXPECT_TRUE(it->is_null() || it->is_number_float()) << it.key();
  EXPECT_EQ(m.at("num_trades").dump(), "1.0");
  EXPECT_EQ(m.at("max_consecutive_losses").dump(), "0.0");
  EXPECT_TRUE(m.at("avg_loss").is_null());      // NaN
  EXPECT_TRUE(m.at("profit_factor").is_null()); // +infinity
}

TEST(ReportJson, NonFiniteTradeFieldsAndNegativeIntegers) {
  const Trade t{"X", -1, -2, INF, 0, NaN, -INF};
  const Value j = report::to_json(t);
  EXPECT_EQ(
      j.dump(),
      R"({"entry_date":-1,"exit_date":-2,"mae":null,"mfe":null,"period":0,"ret":null,"symbol":"X"})");
  EXPECT_TRUE(j.at("entry_date").is_number_integer());
  EXPECT_EQ(report::to_json(PeriodReturn{"2024", NaN}).dump(), R"({"period":"2024","ret":null})");
}
