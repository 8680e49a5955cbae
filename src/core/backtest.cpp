#include "core/backtest.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

#include "core/align.hpp"
#include "core/ops/kernel.hpp"

namespace zorv::backtest {

namespace {

// Bounds x to [lo, hi]; a NaN bound bounds nothing.
double clamp_to(double x, double lo, double hi) {
  if (x < lo) {
    return lo;
  }
  if (x > hi) {
    return hi;
  }
  return x;
}

// Each symbol's last valid (non-NaN) price as the rows come in order, NaN before its first: where
// a price is missing, this one stands in for it, in the drift, the trades and the dollar volume.
class LastValid {
public:
  explicit LastValid(std::size_t width) : last_(width, ops::kNaN) {}
  void feed(const double *row) {
    for (std::size_t j = 0; j < last_.size(); ++j) {
      if (!std::isnan(row[j])) {
        last_[j] = row[j];
      }
    }
  }
  double operator[](std::size_t j) const { return last_[j]; }

private:
  std::vector<double> last_;
};

// A symbol's trade while it is open.
struct OpenTrade {
  bool open = false;
  bool is_long = true;
  bool has_excursion = false;
  std::size_t entry = 0;
  double entry_price = ops::kNaN;
  double mae = ops::kNaN;
  double mfe = ops::kNaN;
};

// Widens the open trade's excursions by one row; rows missing high or low do not count. A NaN
// ratio (inf / inf) is passed over like a NaN term of a maximum, whichever row it falls on, so
// the result does not depend on the order of the rows.
void add_excursion(OpenTrade &s, double high, double low) {
  if (std::isnan(high) || std::isnan(low)) {
    return;
  }
  const double p = s.entry_price;
  const double adverse = s.is_long ? low / p - 1.0 : 1.0 - high / p;
  const double favourable = s.is_long ? high / p - 1.0 : 1.0 - low / p;
  s.has_excursion = true;
  if (!std::isnan(adverse) && (std::isnan(s.mae) || adverse < s.mae)) {
    s.mae = adverse;
  }
  if (!std::isnan(favourable) && (std::isnan(s.mfe) || favourable > s.mfe)) {
    s.mfe = favourable;
  }
}

// Consecutive missing prices per symbol; a run of `after` missing prices delists the symbol
// until its next price, the run's `after`-th date being the delisting event.
std::vector<std::uint8_t> delisting_flags(const Matrix &price, std::uint64_t after) {
  const auto T = static_cast<std::size_t>(price.rows());
  const auto N = static_cast<std::size_t>(price.cols());
  std::vector<std::uint8_t> flags(T * N, 0);
  std::vector<std::uint64_t> missing(N, 0);
  for (std::size_t t = 0; t < T; ++t) {
    const double *pr = price.data() + t * N;
    std::uint8_t *fr = flags.data() + t * N;
    for (std::size_t j = 0; j < N; ++j) {
      missing[j] = std::isnan(pr[j]) ? missing[j] + 1 : 0;
      if (missing[j] >= after) {
        fr[j] = missing[j] == after ? (kDelisted | kEvent) : kDelisted;
      }
    }
  }
  return flags;
}

// Cost, as a fraction of equity, of moving the weights from old_w to new_w on date t.
double cost(const Inputs &in, const BacktestConfig &config, const double *old_w,
            const double *new_w, std::size_t t) {
  const std::size_t N = in.cols();
  const double flow_rate = config.fee_ratio + config.slippage_ratio;
  double turnover = 0.0;
  double decreases = 0.0;
  for (std::size_t j = 0; j < N; ++j) {
    turnover += std::abs(new_w[j] - old_w[j]);
    decreases += std::max(old_w[j] - new_w[j], 0.0);
  }
  double c = turnover * flow_rate + decreases * config.tax_ratio;
  if (in.dollar_volume && config.impact_coef > 0) {
    const double capital = config.initial_capital;
    const double *dv = ops::View(*in.dollar_volume)[t];
    for (std::size_t j = 0; j < N; ++j) {
      if (dv[j] > 0 && new_w[j] != old_w[j]) {
        const double delta = std::abs(new_w[j] - old_w[j]);
        const double x = std::min(capital * delta / dv[j], 1.0);
        c += config.impact_coef * delta * std::sqrt(x);
      }
    }
  }
  return c;
}

// Volume in place to volume x the last valid price: a halted date (price missing, no volume) is
// capped at zero instead of left uncapped.
void to_dollar_volume(Matrix &volume, const Matrix &price) {
  const auto T = static_cast<std::size_t>(price.rows());
  const auto N = static_cast<std::size_t>(price.cols());
  const ops::View prices(price);
  const ops::OutView out(volume);
  LastValid last(N);
  for (std::size_t t = 0; t < T; ++t) {
    last.feed(prices[t]);
    double *vr = out[t];
    for (std::size_t j = 0; j < N; ++j) {
      vr[j] *= last[j];
    }
  }
}

} // namespace

std::optional<Matrix> conform_to(const Panel &grid, const Panel *source) {
  if (source == nullptr) {
    return std::nullopt;
  }
  return align::project(*source, grid.dates, grid.symbols).data;
}

Inputs conform(const Panel &weights, const Panel &price, const Panel *high, const Panel *low,
               const Panel *volume, const BacktestConfig &config) {
  auto [w, p] = align::align(weights, price);
  Inputs in;
  // Excursions need both high and low, so one alone is not worth conforming.
  if (high != nullptr && low != nullptr) {
    in.high = conform_to(p, high);
    in.low = conform_to(p, low);
  }
  if (config.initial_capital > 0 && (config.max_participation > 0 || config.impact_coef > 0)) {
    in.dollar_volume = conform_to(p, volume);
    if (in.dollar_volume) {
      to_dollar_volume(*in.dollar_volume, p.data);
    }
  }
  if (config.delist_after > 0) {
    in.flags = delisting_flags(p.data, config.delist_after);
  }
  in.dates = std::move(p.dates);
  in.symbols = std::move(p.symbols);
  in.weights = std::move(w.data);
  in.price = std::move(p.data);
  return in;
}

Result<Targets> targets(const Inputs &in, const BacktestConfig &config) {
  const std::size_t T = in.rows();
  const std::size_t N = in.cols();
  const bool delisting = !in.flags.empty();
  const bool caps_on = in.dollar_volume && config.max_participation > 0;
  Targets out;
  out.weights = Matrix(static_cast<Eigen::Index>(T), static_cast<Eigen::Index>(N));
  const ops::View weights(in.weights);
  const ops::OutView target(out.weights);
  out.rebalance.assign(T, 0);
  out.exposure.resize(T);
  std::vector<double> held(N, 0.0);
  for (std::size_t t = 0; t < T; ++t) {
    const double *wr = weights[t];
    const std::uint8_t *fr = delisting ? in.flags.data() + t * N : nullptr;
    bool changed = t == 0;
    for (std::size_t j = 0; j < N; ++j) {
      double next = held[j];
      if (fr != nullptr && (fr[j] & kDelisted) != 0) {
        next = 0.0;
      } else if (!std::isnan(wr[j])) {
        if (std::isinf(wr[j])) {
          return eval_error("infinite weight for '" + in.symbols[j] + "' on " +
                            std::to_string(in.dates[t]));
        }
        next = wr[j];
      }
      changed = changed || next != held[j];
      held[j] = next;
    }
    out.rebalance[t] = changed ? 1 : 0;

    double gross = 0.0;
    for (std::size_t j = 0; j < N; ++j) {
      gross += std::abs(held[j]);
    }
    const double scale = std::max(gross, 1.0);
    double *tr = target[t];
    for (std::size_t j = 0; j < N; ++j) {
      tr[j] = held[j] / scale;
    }
    if (const double limit = config.position_limit; limit > 0) {
      for (std::size_t j = 0; j < N; ++j) {
        tr[j] = clamp_to(tr[j], -limit, limit);
      }
    }
    if (caps_on) {
      const double *dv = ops::View(*in.dollar_volume)[t];
      for (std::size_t j = 0; j < N; ++j) {
        // NaN and negative dollar volumes are unusable: no cap.
        if (dv[j] >= 0) {
          const double cap = dv[j] * config.max_participation / config.initial_capital;
          tr[j] = clamp_to(tr[j], -cap, cap);
        }
      }
    }
    double exposure = 0.0;
    for (std::size_t j = 0; j < N; ++j) {
      exposure += std::abs(tr[j]);
    }
    out.exposure[t] = exposure;
  }
  return out;
}

// Daily equity: drift, delisting write-off, then costs on rebalance dates only. A missing price
// stands at the symbol's last valid one, so the move across a gap is earned on the next quoted
// date instead of being lost.
std::vector<double> equity_curve(const Inputs &in, const Targets &targets,
                                 const BacktestConfig &config) {
  const std::size_t T = in.rows();
  const std::size_t N = in.cols();
  std::vector<double> out(T);
  if (T == 0) {
    return out;
  }
  const ops::View price(in.price);
  const ops::View target(targets.weights);
  std::vector<double> cur(N, 0.0);
  LastValid last(N);
  last.feed(price[0]);
  double equity = 1.0 - cost(in, config, cur.data(), target[0], 0);
  std::copy_n(target[0], N, cur.begin());
  out[0] = equity;
  for (std::size_t t = 1; t < T; ++t) {
    const double *now = price[t];
    double sum = 0.0;
    // last still holds the previous row's prices here; it takes this row's after the drift.
    for (std::size_t j = 0; j < N; ++j) {
      // A weight of zero earns nothing and stays zero: an overflowing or infinite return of
      // a symbol not held would otherwise turn the whole curve into NaN (0 x inf).
      if (cur[j] == 0) {
        continue;
      }
      const double prev = last[j];
      double r = 0.0;
      if (prev != 0 && !std::isnan(prev) && !std::isnan(now[j])) {
        r = now[j] / prev - 1.0;
      }
      sum += r * cur[j];
      cur[j] = cur[j] * (1.0 + r);
    }
    last.feed(now);
    const double g = 1.0 + sum;
    if (g != 0) {
      for (std::size_t j = 0; j < N; ++j) {
        cur[j] /= g;
      }
    }
    equity *= g;

    if (!in.flags.empty()) {
      const std::uint8_t *fr = in.flags.data() + t * N;
      double loss = 0.0;
      for (std::size_t j = 0; j < N; ++j) {
        if ((fr[j] & kEvent) != 0 && cur[j] != 0) {
          loss += cur[j] * config.delist_haircut;
          cur[j] = 0.0;
        }
      }
      if (loss != 0) {
        const double kept = 1.0 - loss;
        equity *= kept;
        if (kept != 0) {
          for (std::size_t j = 0; j < N; ++j) {
            cur[j] /= kept;
          }
        }
      }
    }

    if (targets.rebalance[t] != 0) {
      const double *tr = target[t];
      equity *= 1.0 - cost(in, config, cur.data(), tr, t);
      std::copy_n(tr, N, cur.begin());
    }
    out[t] = equity;
  }
  return out;
}

// A non-zero target opens a trade, a zero target closes it; size and sign changes in between
// belong to the same trade. Entry and exit prices are the last valid prices, as in the equity
// curve.
std::vector<TradeRecord> trade_records(const Inputs &in, const Targets &targets,
                                       const BacktestConfig &config) {
  const std::size_t T = in.rows();
  const std::size_t N = in.cols();
  std::vector<TradeRecord> records;
  if (T == 0) {
    return records;
  }
  const bool excursions = in.high.has_value();
  const double entry_leg = 1.0 - config.fee_ratio - config.slippage_ratio;
  const double exit_leg = 1.0 - config.fee_ratio - config.tax_ratio - config.slippage_ratio;
  const ops::View price(in.price);
  const ops::View target(targets.weights);
  std::vector<OpenTrade> open(N);
  LastValid last_price(N);
  const auto finish = [&](std::size_t j, std::size_t exit, bool closed, double ret) {
    const OpenTrade &s = open[j];
    const bool has_excursion = s.has_excursion && s.entry_price != 0;
    records.push_back({j, s.entry, exit, closed, has_excursion, ret, s.mae, s.mfe});
  };
  for (std::size_t t = 0; t < T; ++t) {
    const double *pr = price[t];
    const double *tr = target[t];
    const double *hr = excursions ? ops::View(*in.high)[t] : nullptr;
    const double *lr = excursions ? ops::View(*in.low)[t] : nullptr;
    const std::uint8_t *fr = in.flags.empty() ? nullptr : in.flags.data() + t * N;
    last_price.feed(pr);
    for (std::size_t j = 0; j < N; ++j) {
      OpenTrade &s = open[j];
      if (!s.open) {
        if (tr[j] == 0) {
          continue;
        }
        s = OpenTrade{};
        s.open = true;
        s.is_long = tr[j] > 0;
        s.entry = t;
        s.entry_price = last_price[j];
      }
      if (excursions) {
        add_excursion(s, hr[j], lr[j]);
      }
      if (tr[j] != 0) {
        continue;
      }
      double exit_price = last_price[j];
      double leg = exit_leg;
      if (fr != nullptr && (fr[j] & kEvent) != 0) {
        exit_price = (1.0 - config.delist_haircut) * last_price[j];
        leg = 1.0;
      }
      const double ratio =
          std::isnan(exit_price) || s.entry_price == 0 ? 1.0 : exit_price / s.entry_price;
      finish(j, t, true, ratio * entry_leg * leg - 1.0);
      s.open = false;
    }
  }
  // Still open after the last date: marked to the last valid price, no cost legs.
  for (std::size_t j = 0; j < N; ++j) {
    const OpenTrade &s = open[j];
    if (s.open) {
      const bool unpriced = std::isnan(last_price[j]) || s.entry_price == 0;
      finish(j, T - 1, false, unpriced ? 0.0 : last_price[j] / s.entry_price - 1.0);
    }
  }
  return records;
}

// Records come in date order; a stable counting sort by column puts them symbol by symbol.
std::vector<Trade> trade_list(const Inputs &in, const std::vector<TradeRecord> &records) {
  const std::size_t N = in.cols();
  std::vector<std::size_t> slot(N + 1, 0);
  for (const auto &r : records) {
    ++slot[r.col + 1];
  }
  for (std::size_t j = 0; j < N; ++j) {
    slot[j + 1] += slot[j];
  }
  std::vector<Trade> trades(records.size());
  for (const auto &r : records) {
    Trade &trade = trades[slot[r.col]++];
    trade.symbol = in.symbols[r.col];
    trade.entry_date = in.dates[r.entry];
    if (r.closed) {
      trade.exit_date = in.dates[r.exit];
    }
    trade.ret = r.ret;
    trade.period = static_cast<std::uint32_t>(r.exit - r.entry);
    if (r.has_excursion) {
      trade.mae = r.mae;
      trade.mfe = r.mfe;
    }
  }
  return trades;
}

Result<BacktestRun> run(const Panel &weights, const Panel &price, const Panel *high,
                        const Panel *low, const Panel *volume, const BacktestConfig &config) {
  Inputs in = conform(weights, price, high, low, volume, config);
  BacktestRun out;
  if (in.rows() == 0) {
    return out;
  }
  UTIL_ASSIGN_OR_RETURN(Targets held, targets(in, config));
  out.equity = equity_curve(in, held, config);
  out.trades = trade_list(in, trade_records(in, held, config));
  out.exposure = std::move(held.exposure);
  out.dates = std::move(in.dates);
  return out;
}

} // namespace zorv::backtest
