// Small helpers shared by the operator kernels: constants, the finiteness test, row views of a
// row-major matrix and each column's first finite row.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/panel.hpp"

namespace zorv::ops {

namespace pk = Eigen::internal;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
// A row index that no row has: "not found", "never".
inline constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// |x| <= max is false for the infinities and NaN. On x86 this ordered comparison reads one flag
// where an equality test (x - x == 0.0) reads two, so scalar loops select without branches;
// vectorised, it is a mask and a compare.
[[gnu::const]] inline bool finite(double x) {
  return std::abs(x) <= std::numeric_limits<double>::max();
}

// Rows of a run of columns of a row-major matrix: View reads, OutView writes.
template <class T> struct RowView {
  using M = std::conditional_t<std::is_const_v<T>, const Matrix, Matrix>;
  T *first;
  std::size_t stride;
  explicit RowView(M &m, std::size_t col = 0)
      : first(m.data() + col), stride(static_cast<std::size_t>(m.cols())) {}
  T *operator[](std::size_t t) const { return first + t * stride; }
};
using View = RowView<const double>;
using OutView = RowView<double>;

// Each column's first row whose cell is finite (kNone while it has none), found as the rows come
// in order; a row is read only at the columns still without one.
class FirstFinite {
public:
  explicit FirstFinite(std::size_t width) : start_(width, kNone), pending_(width) {
    std::iota(pending_.begin(), pending_.end(), std::size_t{0});
  }
  // Feeds row t; started(j) is called for each column whose first finite row is t.
  template <class Started> void feed(std::size_t t, const double *row, Started started) {
    std::size_t kept = 0;
    for (const std::size_t j : pending_) {
      if (finite(row[j])) {
        start_[j] = t;
        started(j);
      } else {
        pending_[kept++] = j;
      }
    }
    pending_.resize(kept);
  }
  bool done() const { return pending_.empty(); }
  const std::vector<std::size_t> &start() const { return start_; }
  std::vector<std::size_t> take() && { return std::move(start_); }

private:
  std::vector<std::size_t> start_, pending_;
};

// Per column, the first row whose cell is finite; kNone for a column without one.
inline std::vector<std::size_t> first_finite(View x, std::size_t rows, std::size_t width) {
  FirstFinite first(width);
  for (std::size_t t = 0; t < rows && !first.done(); ++t) {
    first.feed(t, x[t], [](std::size_t) {});
  }
  return std::move(first).take();
}

} // namespace zorv::ops
