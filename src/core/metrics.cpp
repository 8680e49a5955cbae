#include "core/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace zorv::metrics {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

double ret_at(std::span<const double> e, std::size_t i) { return e[i] / e[i - 1] - 1.0; }

// Count, mean and sample deviation (NaN below two values) of the values that `each` visits.
// `each` is walked twice, so the values are never stored: mean first, then the squared
// deviations, both summed left to right.
struct Stats {
  std::size_t k = 0;
  double mean = NaN;
  double sd = NaN;
};

template <class Each> Stats stats_of(const Each &each) {
  Stats s;
  double sum = 0.0;
  each([&](double x) {
    sum += x;
    ++s.k;
  });
  s.mean = sum / static_cast<double>(s.k);
  if (s.k >= 2) {
    double ss = 0.0;
    each([&](double x) {
      const double d = x - s.mean;
      ss += d * d;
    });
    s.sd = std::sqrt(ss / static_cast<double>(s.k - 1));
  }
  return s;
}

// The non-NaN returns of a curve, in order (infinite ones included).
auto nan_free_returns(std::span<const double> e) {
  return [e](auto &&f) {
    for (std::size_t i = 1; i < e.size(); ++i) {
      const double r = ret_at(e, i);
      if (!std::isnan(r)) {
        f(r);
      }
    }
  };
}

auto nan_free_values(std::span<const double> v) {
  return [v](auto &&f) {
    for (double x : v) {
      if (!std::isnan(x)) {
        f(x);
      }
    }
  };
}

double mean_of(std::span<const double> v) {
  double sum = 0.0;
  for (double x : v) {
    sum += x;
  }
  return sum / static_cast<double>(v.size());
}

// The floor is written so that a NaN deviation is replaced too.
double floored(double sd) { return sd >= DEV_FLOOR ? sd : DEV_FLOOR; }

double sharpe_ratio(const Stats &s) {
  if (s.k == 0) {
    return NaN;
  }
  return s.mean / floored(s.sd) * SQRT_252;
}

double volatility(const Stats &s) { return s.k < 2 ? NaN : s.sd * SQRT_252; }

// Running-peak drawdown of one point after another.
struct Peak {
  double peak = -INF;
  double next(double x) {
    if (x > peak) {
      peak = x;
    }
    return x / peak - 1.0;
  }
};

double beta_of(const PairedReturns &p) {
  const std::size_t k = p.strategy.size();
  if (k < 2) {
    return NaN;
  }
  const double mean_s = mean_of(p.strategy);
  const Stats c = stats_of(nan_free_values(p.benchmark));
  const double var = c.sd * c.sd;
  double q = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    q += (p.benchmark[i] - c.mean) * (p.strategy[i] - mean_s);
  }
  if (var == 0.0) {
    return NaN;
  }
  return q / static_cast<double>(k - 1) / var;
}

std::vector<double> active_returns(std::span<const double> equity, std::span<const double> bench) {
  const PairedReturns p = paired_returns(equity, bench);
  std::vector<double> a;
  a.reserve(p.strategy.size());
  for (std::size_t i = 0; i < p.strategy.size(); ++i) {
    const double x = p.strategy[i] - p.benchmark[i];
    if (!std::isnan(x)) {
      a.push_back(x);
    }
  }
  return a;
}

// Mean return of the closed trades that `take` selects; NaN when none.
template <class Pred> double mean_closed_ret(std::span<const Trade> trades, Pred take) {
  double sum = 0.0;
  std::size_t k = 0;
  for (const Trade &t : trades) {
    if (t.exit_date && take(t.ret)) {
      sum += t.ret;
      ++k;
    }
  }
  return k == 0 ? NaN : sum / static_cast<double>(k);
}

bool is_leap(std::int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

} // namespace

// Days since 1970-01-01 of a YYYYMMDD date in the proleptic Gregorian calendar; absent when it
// is not a calendar date. Counted by hand because std::chrono::year stops at 32767, while the
// date form reaches year 214748.
std::optional<std::int64_t> calendar_day(std::int32_t d) {
  const std::int64_t y = d / 10000;
  const int m = (d / 100) % 100;
  const int day = d % 100;
  static constexpr int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || day < 1) {
    return std::nullopt;
  }
  if (day > month_days[m - 1] + (m == 2 && is_leap(y) ? 1 : 0)) {
    return std::nullopt;
  }
  // Years counted from March, so the leap day ends the year; eras of 400 years.
  const std::int64_t yy = m <= 2 ? y - 1 : y;
  const std::int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
  const std::int64_t yoe = yy - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

namespace {

std::string period_label(std::int32_t key, bool monthly) {
  char buf[32];
  if (monthly) {
    std::snprintf(buf, sizeof buf, "%d-%02d", static_cast<int>(key / 100),
                  static_cast<int>(key % 100));
  } else {
    std::snprintf(buf, sizeof buf, "%d", static_cast<int>(key));
  }
  return buf;
}

std::vector<double> return_series(std::span<const double> e) {
  std::vector<double> r(e.size(), NaN);
  for (std::size_t i = 1; i < e.size(); ++i) {
    r[i] = ret_at(e, i);
  }
  return r;
}

// Applies `figure` to the stats of every full window of w returns ending at t = w .. n-1.
template <class Figure>
std::vector<double> rolling(std::span<const double> equity, std::size_t w, Figure figure) {
  const std::size_t n = equity.size();
  std::vector<double> out(n, NaN);
  if (n <= w) {
    return out;
  }
  const std::vector<double> r = return_series(equity);
  const std::span<const double> rs(r);
  for (std::size_t t = w; t < n; ++t) {
    out[t] = figure(stats_of(nan_free_values(rs.subspan(t + 1 - w, w))));
  }
  return out;
}

} // namespace

double ann_volatility(std::span<const double> equity) {
  return volatility(stats_of(nan_free_returns(equity)));
}

double sharpe(std::span<const double> equity) {
  return sharpe_ratio(stats_of(nan_free_returns(equity)));
}

double sortino(std::span<const double> equity) {
  const double m = stats_of(nan_free_returns(equity)).mean;
  // Downside entries: min(r_i, 0) for every i >= 1, a NaN return counting as 0.
  const auto downside = [equity](auto &&f) {
    for (std::size_t i = 1; i < equity.size(); ++i) {
      const double r = ret_at(equity, i);
      f(std::isnan(r) ? 0.0 : std::min(r, 0.0));
    }
  };
  const double d = stats_of(downside).sd;
  return d > 0.0 ? m / d * SQRT_252 : NaN;
}

std::vector<double> drawdown_series(std::span<const double> equity) {
  std::vector<double> out;
  out.reserve(equity.size());
  Peak peak;
  for (double x : equity) {
    out.push_back(peak.next(x));
  }
  return out;
}

double max_drawdown(std::span<const double> equity) {
  if (equity.empty()) {
    return NaN;
  }
  double low = 0.0;
  Peak peak;
  for (double x : equity) {
    const double dd = peak.next(x);
    if (dd < low) {
      low = dd;
    }
  }
  return low;
}

double year_frac(std::int32_t from, std::int32_t to) {
  const auto a = calendar_day(from);
  const auto b = calendar_day(to);
  if (!a || !b) {
    return NaN;
  }
  return static_cast<double>((*b - *a) * 86400) / 31557600.0;
}

double annual_growth(double ratio, double years) {
  if (std::isnan(years)) {
    return NaN;
  }
  return std::pow(ratio, 1.0 / years) - 1.0;
}

PairedReturns paired_returns(std::span<const double> equity, std::span<const double> bench) {
  PairedReturns p;
  const std::size_t n = std::min(equity.size(), bench.size());
  for (std::size_t i = 1; i < n; ++i) {
    const double s = ret_at(equity, i);
    const double c = ret_at(bench, i);
    if (!std::isnan(s) && !std::isnan(c)) {
      p.strategy.push_back(s);
      p.benchmark.push_back(c);
    }
  }
  return p;
}

double beta(std::span<const double> equity, std::span<const double> bench) {
  return beta_of(paired_returns(equity, bench));
}

double alpha(std::span<const double> equity, std::span<const double> bench) {
  const PairedReturns p = paired_returns(equity, bench);
  const double b = beta_of(p);
  if (std::isnan(b)) {
    return NaN;
  }
  return (mean_of(p.strategy) - b * mean_of(p.benchmark)) * 252.0;
}

double tracking_error(std::span<const double> equity, std::span<const double> bench) {
  return volatility(stats_of(nan_free_values(active_returns(equity, bench))));
}

double information_ratio(std::span<const double> equity, std::span<const double> bench) {
  return sharpe_ratio(stats_of(nan_free_values(active_returns(equity, bench))));
}

double avg_win(std::span<const Trade> trades) {
  return mean_closed_ret(trades, [](double r) { return r > 0.0; });
}

double avg_loss(std::span<const Trade> trades) {
  return mean_closed_ret(trades, [](double r) { return r < 0.0; });
}

double max_consecutive_losses(std::span<const Trade> trades) {
  std::vector<const Trade *> closed;
  for (const Trade &t : trades) {
    if (t.exit_date) {
      closed.push_back(&t);
    }
  }
  // Trades closing on the same date keep their list order.
  std::stable_sort(closed.begin(), closed.end(),
                   [](const Trade *a, const Trade *b) { return *a->exit_date < *b->exit_date; });
  std::size_t run = 0, best = 0;
  for (const Trade *t : closed) {
    if (t->ret < 0.0) {
      best = std::max(best, ++run);
    } else {
      run = 0;
    }
  }
  return static_cast<double>(best);
}

std::vector<PeriodReturn> period_returns(std::span<const std::int32_t> dates,
                                         std::span<const double> equity, bool monthly) {
  std::vector<PeriodReturn> out;
  if (dates.size() != equity.size() || dates.empty()) {
    return out;
  }
  const std::int32_t div = monthly ? 100 : 10000;
  double base = equity[0];
  std::int32_t key = dates[0] / div;
  for (std::size_t i = 1; i < dates.size(); ++i) {
    const std::int32_t k = dates[i] / div;
    if (k != key) {
      out.push_back({period_label(key, monthly), equity[i - 1] / base - 1.0});
      base = equity[i - 1];
      key = k;
    }
  }
  out.push_back({period_label(key, monthly), equity.back() / base - 1.0});
  return out;
}

std::vector<double> rolling_sharpe(std::span<const double> equity, std::size_t window) {
  return rolling(equity, window, sharpe_ratio);
}

std::vector<double> rolling_volatility(std::span<const double> equity, std::size_t window) {
  return rolling(equity, window, volatility);
}

} // namespace zorv::metrics
