// Performance statistics of a daily equity curve, of a trade list and of a curve against a
// benchmark, plus the per-period and rolling series of the report.
//
// Returns of a curve e: r_0 is NaN and r_i = e_i / e_(i-1) - 1, with no guard against zero or NaN
// points. Daily figures annualise with 252 trading days; calendar time counts 365.25-day years.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/backtest.hpp"

namespace zorv {

// Compounded return of one calendar month ("2024-03") or year ("2024").
struct PeriodReturn {
  std::string period;
  double ret = 0.0;
};

// The report's performance figures. Counts are doubles too; the last six exist only when the
// report has a benchmark curve.
struct Metrics {
  double total_return = 0.0;
  double cagr = 0.0;
  double ann_volatility = 0.0;
  double sharpe = 0.0;
  double sortino = 0.0;
  double max_drawdown = 0.0;
  double calmar = 0.0;
  double win_rate = 0.0;
  double profit_factor = 0.0;
  double expectancy = 0.0;
  double avg_holding_period = 0.0;
  double num_trades = 0.0;
  double avg_win = 0.0;
  double avg_loss = 0.0;
  double payoff_ratio = 0.0;
  double best_trade = 0.0;
  double worst_trade = 0.0;
  double max_consecutive_losses = 0.0;
  double recovery_factor = 0.0;
  double max_drawdown_duration = 0.0;
  double time_in_market = 0.0;
  double avg_exposure = 0.0;
  std::optional<double> benchmark_return;
  std::optional<double> alpha;
  std::optional<double> beta;
  std::optional<double> excess_return;
  std::optional<double> tracking_error;
  std::optional<double> information_ratio;
};

namespace metrics {

// sqrt(252) as a double, written out so every platform uses the same bits.
inline constexpr double SQRT_252 = 15.874507866387544;
// Lower bound of the deviation in Sharpe-type ratios.
inline constexpr double DEV_FLOOR = 1e-6;

// Strategy and benchmark returns of the dates where both are defined, in date order.
struct PairedReturns {
  std::vector<double> strategy;
  std::vector<double> benchmark;
};

double ann_volatility(std::span<const double> equity);
double sharpe(std::span<const double> equity);
double sortino(std::span<const double> equity);
std::vector<double> drawdown_series(std::span<const double> equity);
// min(0, non-NaN drawdown entries); NaN for an empty curve.
double max_drawdown(std::span<const double> equity);
// Days since 1970-01-01 of a YYYYMMDD date (proleptic Gregorian); absent when it is not a
// calendar date.
std::optional<std::int64_t> calendar_day(std::int32_t d);
// Signed years from `from` to `to` (days / 365.25); NaN when either is not a calendar date.
double year_frac(std::int32_t from, std::int32_t to);
// ratio^(1 / years) - 1; NaN when years is NaN, even for a ratio of 1, whose power is 1 for
// any exponent.
double annual_growth(double ratio, double years);

PairedReturns paired_returns(std::span<const double> equity, std::span<const double> bench);
double beta(std::span<const double> equity, std::span<const double> bench);
double alpha(std::span<const double> equity, std::span<const double> bench);
double tracking_error(std::span<const double> equity, std::span<const double> bench);
double information_ratio(std::span<const double> equity, std::span<const double> bench);

// Closed trades only (those with an exit date).
double avg_win(std::span<const Trade> trades);
double avg_loss(std::span<const Trade> trades);
double max_consecutive_losses(std::span<const Trade> trades);

// Empty when the lengths differ or the curve is empty.
std::vector<PeriodReturn> period_returns(std::span<const std::int32_t> dates,
                                         std::span<const double> equity, bool monthly);
std::vector<double> rolling_sharpe(std::span<const double> equity, std::size_t window);
std::vector<double> rolling_volatility(std::span<const double> equity, std::size_t window);

} // namespace metrics
} // namespace zorv
