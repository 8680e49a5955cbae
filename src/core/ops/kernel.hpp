// Small helpers shared by the operator kernels: constants, the finiteness test, row views of a
// row-major matrix and each column's first finite row.
#pragma once

#include <cstddef>
#include <limits>
#include <type_traits>
#include <vector>

#include "core/panel.hpp"

namespace zorv::ops {

namespace pk = Eigen::internal;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
// A row index that no row has: "not found", "never".
inline constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// x - x is 0.0 exactly for finite x and NaN otherwise; unlike std::isfinite it leaves loops
// free of calls and branches, so they vectorise.
inline bool finite(double x) { return x - x == 0.0; }

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

// Per column, the first of the rows whose cell is finite; kNone for a column without one. Each
// row is read only at the columns still without one.
inline std::vector<std::size_t> first_finite(View x, std::size_t rows, std::size_t width) {
  std::vector<std::size_t> start(width, kNone);
  std::vector<std::size_t> pending(width);
  for (std::size_t j = 0; j < width; ++j)
    pending[j] = j;
  for (std::size_t t = 0; t < rows && !pending.empty(); ++t) {
    const double *r = x[t];
    std::size_t kept = 0;
    for (const std::size_t j : pending) {
      if (finite(r[j]))
        start[j] = t;
      else
        pending[kept++] = j;
    }
    pending.resize(kept);
  }
  return start;
}

} // namespace zorv::ops
