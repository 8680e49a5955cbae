#include <algorithm>
#include <vector>

#include "core/ops/grid.hpp"
#include "core/panel.hpp"

namespace zorv {

namespace {

inline bool truth(double x) { return x == 1.0; }

// A row against the row before: becoming true (Entry) or ceasing to be true, as a kernel for
// ops::PacketFn.
template <bool Entry> struct Edge {
  double operator()(double now, double before) const {
    return (Entry ? truth(now) && !truth(before) : !truth(now) && truth(before)) ? 1.0 : 0.0;
  }
  template <class P> P packet(const P &now, const P &before) const {
    const P a = ops::truth_lanes(Entry ? now : before);
    const P b = ops::truth_lanes(Entry ? before : now);
    return ops::bool_lanes(Eigen::internal::pandnot(a, b));
  }
};

} // namespace

Panel Panel::shift_false(std::size_t n) const {
  Matrix m = uninit_matrix(data.rows(), data.cols());
  m.setZero();
  const auto R = rows();
  const auto C = cols();
  const double *x = data.data();
  double *y = m.data();
  for (std::size_t i = (n < R ? n : R) * C; i < R * C; ++i) {
    y[i] = truth(x[i - n * C]) ? 1.0 : 0.0;
  }
  return Panel(dates, symbols, std::move(m));
}

// Both edges compare each row with the row stored before it; only the final And aligns, so a
// grid that alignment would reorder is reordered after the edges are found.
Panel Panel::is_entry() const {
  if (ops::grid_is_canonical(*this)) {
    return ops::zip_with_lag(*this, 1, Edge<true>{});
  }
  return and_(shift_false(1).not_());
}

Panel Panel::is_exit() const {
  if (ops::grid_is_canonical(*this)) {
    return ops::zip_with_lag(*this, 1, Edge<false>{});
  }
  return not_().and_(shift_false(1));
}

Panel Panel::sustain(std::size_t nwindow, std::optional<std::size_t> nsatisfy) const {
  const double k = static_cast<double>(nsatisfy.value_or(nwindow));
  Matrix m = uninit_matrix(data.rows(), data.cols());
  m.setZero();
  const auto R = rows();
  const auto C = cols();
  if (nwindow == 0) {
    // An empty window counts nothing.
    if (0.0 >= k) {
      m.setOnes();
    }
    return Panel(dates, symbols, std::move(m));
  }
  if (nwindow > R) {
    return Panel(dates, symbols, std::move(m));
  }
  // The count of true cells does not depend on order, so one running count per column serves.
  // Counts are whole numbers held as doubles (exact), so that the loops vectorise.
  const double *x = data.data();
  double *y = m.data();
  std::vector<double> counts(C, 0.0);
  double *count = counts.data();
  for (std::size_t t = 0; t < R; ++t) {
    const double *xr = x + t * C;
    for (std::size_t c = 0; c < C; ++c) {
      const double in = truth(xr[c]) ? 1.0 : 0.0;
      count[c] = count[c] + in;
    }
    if (t >= nwindow) {
      const double *gone = xr - nwindow * C;
      for (std::size_t c = 0; c < C; ++c) {
        const double out = truth(gone[c]) ? 1.0 : 0.0;
        count[c] = count[c] - out;
      }
    }
    if (t + 1 >= nwindow) {
      double *yr = y + t * C;
      for (std::size_t c = 0; c < C; ++c) {
        yr[c] = count[c] >= k ? 1.0 : 0.0;
      }
    }
  }
  return Panel(dates, symbols, std::move(m));
}

} // namespace zorv
