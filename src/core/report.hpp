// The report of one backtest and its JSON form.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/backtest.hpp"
#include "core/bootstrap.hpp"
#include "core/metrics.hpp"
#include "quaro/json.hpp"

namespace zorv {

struct Report {
  std::vector<std::int32_t> dates;
  std::vector<double> equity;
  std::vector<double> drawdown;
  // Absent when no benchmark is configured.
  std::optional<std::vector<double>> benchmark;
  std::vector<PeriodReturn> monthly_returns;
  std::vector<PeriodReturn> yearly_returns;
  std::vector<double> rolling_sharpe;
  std::vector<double> rolling_volatility;
  // Filled after the report is built, when a bootstrap is requested and possible.
  std::optional<BootstrapSummary> bootstrap;
  std::vector<Trade> trades;
  Metrics metrics;
};

namespace report {

// Window of the report's rolling statistics.
inline constexpr std::size_t ROLLING_WINDOW = 252;

// The benchmark on the run's dates: an as-of join that walks the benchmark rows forward only,
// carries the last non-NaN value and divides by the first non-zero, non-NaN value seen.
std::vector<double> benchmark_equity(std::span<const std::int32_t> run_dates,
                                     std::span<const std::int32_t> bench_dates,
                                     std::span<const double> bench_values);

// Takes the run and the benchmark curve over; `bootstrap` is left absent.
Report build_report_with_benchmark(BacktestRun run, std::optional<std::vector<double>> benchmark);

// JSON form: keys sorted, every non-finite float null, integer fields as JSON integers, every
// metric as a JSON float; absent optional parts of the report and metrics have no key.
quaro::Value to_json(const Report &r);
quaro::Value to_json(const Metrics &m);
quaro::Value to_json(const Trade &t);
quaro::Value to_json(const PeriodReturn &p);
quaro::Value to_json(const BootstrapSummary &b);
quaro::Value to_json(const BootstrapCi &c);

} // namespace report
} // namespace zorv
