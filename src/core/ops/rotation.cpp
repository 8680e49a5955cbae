#include "core/ops/rotation.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "core/align.hpp"
#include "core/ops/kernel.hpp"

namespace zorv {

namespace rotation {

namespace {

using ops::kInf;
using ops::kNaN;

// Value then position; a total order even with NaN (after every number), so no sort or
// selection can stray.
struct ByValueThenPosition {
  const double *values;
  bool operator()(std::size_t i, std::size_t j) const {
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
  }
};

void fill_positions(std::size_t n, std::vector<std::size_t> &order) {
  order.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    order[i] = i;
  }
}

// Orders `order` (resized to n) by value then position. Allocates nothing once `order` has its
// capacity.
void argsort_into(const double *values, std::size_t n, std::vector<std::size_t> &order) {
  fill_positions(n, order);
  std::sort(order.begin(), order.end(), ByValueThenPosition{values});
}

// Sets `top` to the positions that make the last k places of argsort_into, in some order: the
// order is total, so the set is the same. A few places out of many keep a bounded heap whose
// root is the least kept position, so most positions cost one comparison; otherwise a
// selection. Allocates nothing once `top` has capacity n.
void top_k_into(const double *values, std::size_t n, std::size_t k, std::vector<std::size_t> &top) {
  const ByValueThenPosition less{values};
  if (k >= n) {
    fill_positions(n, top);
    return;
  }
  if (k <= n / 16) {
    const auto greater = [less](std::size_t i, std::size_t j) { return less(j, i); };
    top.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (top.size() < k) {
        top.push_back(i);
        std::push_heap(top.begin(), top.end(), greater);
      } else if (k > 0 && less(top.front(), i)) {
        std::pop_heap(top.begin(), top.end(), greater);
        top.back() = i;
        std::push_heap(top.begin(), top.end(), greater);
      }
    }
    return;
  }
  fill_positions(n, top);
  std::nth_element(top.begin(), top.begin() + static_cast<std::ptrdiff_t>(n - k), top.end(), less);
  top.erase(top.begin(), top.begin() + static_cast<std::ptrdiff_t>(n - k));
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
  // Fresh result memory on huge pages: its page faults are far cheaper.
  Matrix out = uninit_matrix(grid.rows(), grid.cols());
  if (range == 0.0) {
    out.setZero();
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
      out(i, j) = std::isfinite(v) ? (v * unit - lo * unit) / range : 0.0;
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

  Matrix held = uninit_matrix(T, static_cast<Eigen::Index>(n));
  held.setZero();
  std::vector<std::size_t> order;
  order.reserve(n);
  std::vector<double> score(n);
  // Only which columns make the top `limit` matters, not their order among themselves.
  const auto pick_top = [&](Eigen::Index t, const double *values) {
    rotation::top_k_into(values, n, limit, order);
    for (const std::size_t j : order) {
      held(t, static_cast<Eigen::Index>(j)) = 1.0;
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

  std::vector<double> entry_price(n, ops::kNaN);
  std::vector<double> peak(n, 1.0);
  for (Eigen::Index t = 1; t < T; ++t) {
    // Evaluation refuses stops without a price; here they simply fire nothing. The grids are
    // built to match, so the stops cannot fail.
    if (price) {
      (void)rotation::apply_price_stops(held, entry_price, peak, ex, &*price,
                                        static_cast<std::size_t>(t), opts);
    }
    const double *hp = held.row(t - 1).data();
    const double *er = entry.row(t).data();
    const double *xr = ex.row(t).data();
    const double *pr = ranked ? priority.row(t).data() : nullptr;
    // Selects, not branches: exits and entries fall at random.
    for (std::size_t j = 0; j < n; ++j) {
      const double prev = hp[j];
      // A held symbol scores at least 3, ahead of every new entry (at most 1).
      const double s = 3.0 * prev + er[j] * (ranked ? pr[j] : 0.0);
      const bool out = (xr[j] == 1.0) | ((er[j] == 0.0) & (prev == 0.0));
      score[j] = out ? -1.0 : s;
    }
    pick_top(t, score.data());
    double *hr = held.row(t).data();
    for (std::size_t j = 0; j < n; ++j) {
      hr[j] = score[j] == -1.0 ? 0.0 : hr[j];
    }
  }
  return Panel(std::move(entry_p.dates), std::move(entry_p.symbols), std::move(held));
}

} // namespace zorv
