#include "core/report.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zorv::report {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

double mean_or_nan(double sum, std::size_t k) {
  return k == 0 ? NaN : sum / static_cast<double>(k);
}

void trade_figures(Metrics &m, std::span<const Trade> trades) {
  std::size_t closed = 0, wins = 0;
  double gains = 0.0, losses = 0.0, ret_sum = 0.0, period_sum = 0.0;
  double best = -INF, worst = INF;
  for (const Trade &t : trades) {
    if (!t.exit_date) {
      continue;
    }
    ++closed;
    if (t.ret > 0.0) {
      ++wins;
      gains += t.ret;
    } else if (t.ret < 0.0) {
      losses += t.ret;
    }
    ret_sum += t.ret;
    period_sum += static_cast<double>(t.period);
    if (t.ret > best) {
      best = t.ret;
    }
    if (t.ret < worst) {
      worst = t.ret;
    }
  }
  const bool none = closed == 0;
  m.win_rate = mean_or_nan(static_cast<double>(wins), closed);
  m.profit_factor = none ? NaN : losses == 0.0 ? INF : gains / std::abs(losses);
  m.expectancy = mean_or_nan(ret_sum, closed);
  m.avg_holding_period = mean_or_nan(period_sum, closed);
  m.num_trades = static_cast<double>(closed);
  m.avg_win = metrics::avg_win(trades);
  m.avg_loss = metrics::avg_loss(trades);
  m.payoff_ratio = m.avg_win / std::abs(m.avg_loss);
  m.best_trade = none ? NaN : best;
  m.worst_trade = none ? NaN : worst;
  m.max_consecutive_losses = metrics::max_consecutive_losses(trades);
}

void benchmark_figures(Metrics &m, std::span<const double> equity, std::span<const double> bench) {
  double first = NaN, last = NaN;
  for (double b : bench) {
    if (std::isnan(b)) {
      continue;
    }
    if (std::isnan(first)) {
      first = b;
    }
    last = b;
  }
  const double bench_return = std::isnan(first) || first == 0.0 ? NaN : last / first - 1.0;
  m.benchmark_return = bench_return;
  m.alpha = metrics::alpha(equity, bench);
  m.beta = metrics::beta(equity, bench);
  m.excess_return = m.total_return - bench_return;
  m.tracking_error = metrics::tracking_error(equity, bench);
  m.information_ratio = metrics::information_ratio(equity, bench);
}

Metrics compute_metrics(const BacktestRun &run, std::span<const double> drawdown,
                        const std::optional<std::vector<double>> &bench) {
  const std::span<const double> e(run.equity);
  const std::size_t n = e.size();
  Metrics m;
  m.total_return = n == 0 ? NaN : e[n - 1] / e[0] - 1.0;
  m.cagr = n < 2 || run.dates.size() < 2
               ? NaN
               : metrics::annual_growth(e[n - 1] / e[0],
                                        metrics::year_frac(run.dates.front(), run.dates.back()));
  m.ann_volatility = metrics::ann_volatility(e);
  m.sharpe = metrics::sharpe(e);
  m.sortino = metrics::sortino(e);
  const double dd = metrics::max_drawdown(e);
  m.max_drawdown = dd;
  m.calmar = std::isnan(m.cagr) ? NaN : dd == 0.0 ? INF : m.cagr / std::abs(dd);
  trade_figures(m, run.trades);
  m.recovery_factor = n == 0 ? NaN : dd == 0.0 ? INF : m.total_return / std::abs(dd);

  std::size_t run_len = 0, longest = 0;
  for (double x : drawdown) {
    run_len = x < 0.0 ? run_len + 1 : 0;
    longest = std::max(longest, run_len);
  }
  m.max_drawdown_duration = static_cast<double>(longest);

  std::size_t active = 0;
  double exposure_sum = 0.0;
  for (double x : run.exposure) {
    active += x > 0.0;
    exposure_sum += x;
  }
  m.time_in_market = mean_or_nan(static_cast<double>(active), run.exposure.size());
  m.avg_exposure = mean_or_nan(exposure_sum, run.exposure.size());

  if (bench) {
    benchmark_figures(m, e, *bench);
  }
  return m;
}

quaro::Value num(double x) { return std::isfinite(x) ? quaro::Value(x) : quaro::Value(nullptr); }

// Non-negative integers are held unsigned, negative ones signed, as the JSON reader does.
quaro::Value integer(std::int64_t v) {
  return v >= 0 ? quaro::Value(static_cast<std::uint64_t>(v)) : quaro::Value(v);
}

template <class T, class F> quaro::Value array_of(std::span<const T> items, F each) {
  quaro::Value out = quaro::Value::array();
  auto &arr = out.get_ref<quaro::Value::array_t &>();
  arr.reserve(items.size());
  for (const T &x : items) {
    arr.push_back(each(x));
  }
  return out;
}

quaro::Value floats(std::span<const double> v) { return array_of(v, num); }

quaro::Value period_list(std::span<const PeriodReturn> v) {
  return array_of(v, [](const PeriodReturn &p) { return to_json(p); });
}

} // namespace

std::vector<double> benchmark_equity(std::span<const std::int32_t> run_dates,
                                     std::span<const std::int32_t> bench_dates,
                                     std::span<const double> bench_values) {
  std::vector<double> out(run_dates.size(), NaN);
  // A row without a value could only be NaN, which changes nothing.
  const std::size_t rows = std::min(bench_dates.size(), bench_values.size());
  std::size_t j = 0;
  double last = NaN, base = NaN;
  for (std::size_t i = 0; i < run_dates.size(); ++i) {
    for (; j < rows && bench_dates[j] <= run_dates[i]; ++j) {
      const double v = bench_values[j];
      if (std::isnan(v)) {
        continue;
      }
      last = v;
      if (std::isnan(base) && v != 0.0) {
        base = v;
      }
    }
    if (!std::isnan(last) && !std::isnan(base)) {
      out[i] = last / base;
    }
  }
  return out;
}

Report build_report_with_benchmark(BacktestRun run, std::optional<std::vector<double>> benchmark) {
  Report r;
  r.drawdown = metrics::drawdown_series(run.equity);
  r.metrics = compute_metrics(run, r.drawdown, benchmark);
  r.monthly_returns = metrics::period_returns(run.dates, run.equity, true);
  r.yearly_returns = metrics::period_returns(run.dates, run.equity, false);
  r.rolling_sharpe = metrics::rolling_sharpe(run.equity, ROLLING_WINDOW);
  r.rolling_volatility = metrics::rolling_volatility(run.equity, ROLLING_WINDOW);
  r.dates = std::move(run.dates);
  r.equity = std::move(run.equity);
  r.benchmark = std::move(benchmark);
  r.trades = std::move(run.trades);
  return r;
}

quaro::Value to_json(const Report &r) {
  quaro::Value out = quaro::Value::object();
  out["dates"] =
      array_of(std::span<const std::int32_t>(r.dates), [](std::int32_t d) { return integer(d); });
  out["equity"] = floats(r.equity);
  out["drawdown"] = floats(r.drawdown);
  if (r.benchmark) {
    out["benchmark"] = floats(*r.benchmark);
  }
  out["monthly_returns"] = period_list(r.monthly_returns);
  out["yearly_returns"] = period_list(r.yearly_returns);
  out["rolling_sharpe"] = floats(r.rolling_sharpe);
  out["rolling_volatility"] = floats(r.rolling_volatility);
  if (r.bootstrap) {
    out["bootstrap"] = to_json(*r.bootstrap);
  }
  out["trades"] =
      array_of(std::span<const Trade>(r.trades), [](const Trade &t) { return to_json(t); });
  out["metrics"] = to_json(r.metrics);
  return out;
}

quaro::Value to_json(const Metrics &m) {
  quaro::Value out = quaro::Value::object();
  out["total_return"] = num(m.total_return);
  out["cagr"] = num(m.cagr);
  out["ann_volatility"] = num(m.ann_volatility);
  out["sharpe"] = num(m.sharpe);
  out["sortino"] = num(m.sortino);
  out["max_drawdown"] = num(m.max_drawdown);
  out["calmar"] = num(m.calmar);
  out["win_rate"] = num(m.win_rate);
  out["profit_factor"] = num(m.profit_factor);
  out["expectancy"] = num(m.expectancy);
  out["avg_holding_period"] = num(m.avg_holding_period);
  out["num_trades"] = num(m.num_trades);
  out["avg_win"] = num(m.avg_win);
  out["avg_loss"] = num(m.avg_loss);
  out["payoff_ratio"] = num(m.payoff_ratio);
  out["best_trade"] = num(m.best_trade);
  out["worst_trade"] = num(m.worst_trade);
  out["max_consecutive_losses"] = num(m.max_consecutive_losses);
  out["recovery_factor"] = num(m.recovery_factor);
  out["max_drawdown_duration"] = num(m.max_drawdown_duration);
  out["time_in_market"] = num(m.time_in_market);
  out["avg_exposure"] = num(m.avg_exposure);
  const auto optional = [&](const char *key, const std::optional<double> &v) {
    if (v) {
      out[key] = num(*v);
    }
  };
  optional("benchmark_return", m.benchmark_return);
  optional("alpha", m.alpha);
  optional("beta", m.beta);
  optional("excess_return", m.excess_return);
  optional("tracking_error", m.tracking_error);
  optional("information_ratio", m.information_ratio);
  return out;
}

quaro::Value to_json(const Trade &t) {
  quaro::Value out = quaro::Value::object();
  out["symbol"] = t.symbol;
  out["entry_date"] = integer(t.entry_date);
  out["exit_date"] = t.exit_date ? integer(*t.exit_date) : quaro::Value(nullptr);
  out["ret"] = num(t.ret);
  out["period"] = integer(t.period);
  out["mae"] = t.mae ? num(*t.mae) : quaro::Value(nullptr);
  out["mfe"] = t.mfe ? num(*t.mfe) : quaro::Value(nullptr);
  return out;
}

quaro::Value to_json(const PeriodReturn &p) {
  quaro::Value out = quaro::Value::object();
  out["period"] = p.period;
  out["ret"] = num(p.ret);
  return out;
}

quaro::Value to_json(const BootstrapSummary &b) {
  quaro::Value out = quaro::Value::object();
  out["n_samples"] = b.n_samples;
  out["block_len"] = b.block_len;
  out["sharpe"] = to_json(b.sharpe);
  out["cagr"] = to_json(b.cagr);
  out["max_drawdown"] = to_json(b.max_drawdown);
  return out;
}

quaro::Value to_json(const BootstrapCi &c) {
  quaro::Value out = quaro::Value::object();
  out["p05"] = num(c.p05);
  out["p50"] = num(c.p50);
  out["p95"] = num(c.p95);
  return out;
}

} // namespace zorv::report
