#include "core/ops/rotation.hpp"

#include <algorithm>
#include <cmath>

#include "core/align.hpp"

namespace zorv {

namespace rotation {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Orders `order` (resized to values.size()) by value then position; a total order even with
// NaN, so the sort cannot stray. Allocates nothing once `order` has its capacity.
void argsort_into(const double *values, std::size_t n, std::vector<std::size_t> &order) {
  order.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    order[i] = i;
  }
  std::sort(order.begin(), order.end(), [values](std::size_t i, std::size_t j) {
    const double a = values[i];
    const double b = values[j];
    if (a < b) {
      return true;
    }
    if (b < a) {
      return false;
    }
    const bool na = std::isnan(a);
    const bool nb = std::isnan(b);
    if (na != nb) {
      return nb;
    }
    return i < j;
  });
}

bool stops_off(const HoldUntilOpts &o) {
  return o.stop_loss <= -kInf && o.take_profit >= kInf && o.trail_stop >= kInf;
}

} // namespace

std::vector<std::size_t> argsort_stable(const std::vector<double> &values) {
  std::vector<std::size_t> order;
  argsort_into(values.data(), values.size(), order);
  return order;
}

Matrix normalize_ranking(const Matrix &grid) {
  double lo = kInf;
  double hi = -kInf;
  for (Eigen::Index i = 0; i < grid.rows(); ++i) {
    for (Eigen::Index j = 0; j < grid.cols(); ++j) {
      const double v = grid(i, j);
      if (std::isfinite(v)) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
    }
  }
  double range = hi - lo;
  Matrix out = Matrix::Zero(grid.rows(), grid.cols());
  if (range == 0.0) {
    return out;
  }
  // A range beyond the largest double would scale the maximum to inf / inf = NaN. Halving every
  // operand then keeps the quotients (up to rounding) and within [0, 1], so no NaN reaches the
  // scores; a representable range takes the plain formula.
  const double unit = range == kInf ? 0.5 : 1.0;
  range = hi * unit - lo * unit;
  for (Eigen::Index i = 0; i < grid.rows(); ++i) {
    for (Eigen::Index j = 0; j < grid.cols(); ++j) {
      const double v = grid(i, j);
      if (std::isfinite(v)) {
        out(i, j) = (v * unit - lo * unit) / range;
      }
    }
  }
  return out;
}

Result<void> apply_price_stops(const Matrix &held, std::vector<double> &entry_price,
                               std::vector<double> &peak, Matrix &exit, const Matrix *price,
                               std::size_t t, const HoldUntilOpts &opts) {
  if (stops_off(opts)) {
    return {};
  }
  if (price == nullptr) {
    return eval_error("price required when stop rules enabled");
  }
  const auto n = static_cast<std::size_t>(held.cols());
  const auto tt = static_cast<Eigen::Index>(t);
  if (t == 0 || tt >= held.rows() || exit.rows() != held.rows() || exit.cols() != held.cols() ||
      price->rows() != held.rows() || price->cols() != held.cols() || entry_price.size() != n ||
      peak.size() != n) {
    return eval_error("price stop grids do not match");
  }
  const double take = 1.0 + std::fabs(opts.take_profit);
  const double loss = 1.0 - std::fabs(opts.stop_loss);
  const double trail = std::fabs(opts.trail_stop);
  const double armed_at = 1.0 + std::fabs(opts.trail_stop_activation);
  const bool trailing = opts.trail_stop < kInf;
  for (std::size_t j = 0; j < n; ++j) {
    const auto jj = static_cast<Eigen::Index>(j);
    const bool held_prev = held(tt - 1, jj) == 1.0;
    const double px = (*price)(tt, jj);
    const bool refresh =
        t >= 2 ? held(tt - 2, jj) == 0.0 || (std::isnan(entry_price[j]) && held_prev) : held_prev;
    if (refresh) {
      entry_price[j] = px;
      peak[j] = 1.0;
    }
    if (held_prev) {
      const double ratio = px / entry_price[j];
      bool stop = ratio > take || ratio < loss;
      if (trailing && ratio > peak[j]) {
        peak[j] = ratio;
      }
      if (!stop) {
        stop = peak[j] >= armed_at && ratio < peak[j] - trail;
      }
      if (stop) {
        exit(tt, jj) = 1.0;
      }
    } else if (!std::isnan(entry_price[j])) {
      entry_price[j] = kNaN;
      peak[j] = 1.0;
    }
  }
  return {};
}

} // namespace rotation

namespace {

// Puts `p` on exactly the grid of `g`: a panel whose grid differs is read by date and symbol,
// never by position.
Matrix onto_grid(const Panel &p, const Panel &g) { return p.project_onto(g.dates, g.symbols); }

void make_boolean(Matrix &m) { m = (m == 1.0).cast<double>(); }

} // namespace

Panel Panel::hold_until(const Panel &exit, const HoldUntilOpts &opts) const {
  auto [entry_p, exit_p] = align::align(*this, exit);
  const auto T = static_cast<Eigen::Index>(entry_p.rows());
  const std::size_t n = entry_p.cols();
  const std::size_t limit = std::min(opts.nstocks_limit.value_or(n), n);

  // Without a rank every priority is 0.0, so no grid is needed.
  const bool ranked = opts.rank != nullptr;
  const Matrix priority =
      ranked ? rotation::normalize_ranking(onto_grid(*opts.rank, entry_p)) : Matrix();
  std::optional<Matrix> price;
  if (opts.price != nullptr) {
    price = onto_grid(*opts.price, entry_p);
  }
  Matrix entry = std::move(entry_p.data);
  Matrix ex = std::move(exit_p.data);
  make_boolean(entry);
  make_boolean(ex);

  Matrix held = Matrix::Zero(T, static_cast<Eigen::Index>(n));
  std::vector<std::size_t> order;
  order.reserve(n);
  std::vector<double> score(n);
  const auto pick_top = [&](Eigen::Index t, const double *values) {
    rotation::argsort_into(values, n, order);
    for (std::size_t k = 0; k < limit; ++k) {
      held(t, static_cast<Eigen::Index>(order[n - 1 - k])) = 1.0;
    }
  };

  if (T > 0) {
    // Row 0 picks by the entry signal alone; a column that enters and exits still took a place.
    pick_top(0, entry.row(0).data());
    for (std::size_t j = 0; j < n; ++j) {
      const auto jj = static_cast<Eigen::Index>(j);
      if (ex(0, jj) == 1.0 || entry(0, jj) == 0.0) {
        held(0, jj) = 0.0;
      }
    }
  }

  std::vector<double> entry_price(n, std::numeric_limits<double>::quiet_NaN());
  std::vector<double> peak(n, 1.0);
  for (Eigen::Index t = 1; t < T; ++t) {
    // Evaluation refuses stops without a price; here they simply fire nothing. The grids are
    // built to match, so the stops cannot fail.
    if (price) {
      (void)rotation::apply_price_stops(held, entry_price, peak, ex, &*price,
                                        static_cast<std::size_t>(t), opts);
    }
    for (std::size_t j = 0; j < n; ++j) {
      const auto jj = static_cast<Eigen::Index>(j);
      const double prev = held(t - 1, jj);
      // A held symbol scores at least 3, ahead of every new entry (at most 1).
      double s = 3.0 * prev + entry(t, jj) * (ranked ? priority(t, jj) : 0.0);
      if (ex(t, jj) == 1.0 || (entry(t, jj) == 0.0 && prev == 0.0)) {
        s = -1.0;
      }
      score[j] = s;
    }
    pick_top(t, score.data());
    for (std::size_t j = 0; j < n; ++j) {
      if (score[j] == -1.0) {
        held(t, static_cast<Eigen::Index>(j)) = 0.0;
      }
    }
  }
  return Panel(std::move(entry_p.dates), std::move(entry_p.symbols), std::move(held));
}

} // namespace zorv
