#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "core/panel.hpp"

namespace zorv {

Panel Panel::top_n(std::size_t n, bool largest) const {
  Matrix m = uninit_matrix(data.rows(), data.cols());
  m.setZero();
  const auto R = rows();
  const auto C = cols();
  if (n == 0) {
    return Panel(dates, symbols, std::move(m));
  }
  // Ordering by value and then by column is the order a stable sort by value gives, and with it
  // the first n are fixed by a selection without sorting the row.
  const auto before = [largest](const std::pair<double, std::size_t> &a,
                                const std::pair<double, std::size_t> &b) {
    const bool ahead = largest ? a.first > b.first : a.first < b.first;
    const bool behind = largest ? b.first > a.first : b.first < a.first;
    return ahead || (!behind && a.second < b.second);
  };
  std::vector<std::pair<double, std::size_t>> cells;
  cells.reserve(C);
  for (std::size_t t = 0; t < R; ++t) {
    const double *xr = data.data() + t * C;
    double *yr = m.data() + t * C;
    cells.clear();
    for (std::size_t c = 0; c < C; ++c) {
      if (xr[c] == xr[c]) {
        cells.emplace_back(xr[c], c);
      }
    }
    auto chosen = cells.end();
    if (cells.size() > n) {
      chosen = cells.begin() + static_cast<std::ptrdiff_t>(n);
      std::nth_element(cells.begin(), chosen, cells.end(), before);
    }
    for (auto it = cells.begin(); it != chosen; ++it) {
      yr[it->second] = 1.0;
    }
  }
  return Panel(dates, symbols, std::move(m));
}

Panel Panel::normalize_row() const {
  Matrix m = uninit_matrix(data.rows(), data.cols());
  const auto R = rows();
  const auto C = cols();
  const auto width = static_cast<Eigen::Index>(C);
  // |x|, or -0.0 for a NaN cell: adding -0.0 leaves any sum unchanged.
  const auto magnitude = [](double x) { return x != x ? -0.0 : std::fabs(x); };
  // Each row is summed left to right; four rows at a time, so that their chains of additions
  // overlap.
  constexpr std::size_t kRows = 4;
  for (std::size_t t0 = 0; t0 < R; t0 += kRows) {
    const std::size_t k = std::min(kRows, R - t0);
    const double *x = data.data() + t0 * C;
    double sum[kRows] = {-0.0, -0.0, -0.0, -0.0};
    if (k == kRows) {
      for (std::size_t c = 0; c < C; ++c) {
        sum[0] += magnitude(x[c]);
        sum[1] += magnitude(x[C + c]);
        sum[2] += magnitude(x[2 * C + c]);
        sum[3] += magnitude(x[3 * C + c]);
      }
    } else {
      for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t c = 0; c < C; ++c) {
          sum[i] += magnitude(x[i * C + c]);
        }
      }
    }
    for (std::size_t i = 0; i < k; ++i) {
      Eigen::Map<const Eigen::ArrayXd> in(x + i * C, width);
      Eigen::Map<Eigen::ArrayXd> out(m.data() + (t0 + i) * C, width);
      if (sum[i] > 0) {
        out = in / sum[i];
      } else {
        out = in;
      }
    }
  }
  return Panel(dates, symbols, std::move(m));
}

} // namespace zorv
