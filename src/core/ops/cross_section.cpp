#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "core/panel.hpp"

namespace zorv {

Panel Panel::top_n(std::size_t n, bool largest) const {
  Matrix m = Matrix::Zero(data.rows(), data.cols());
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
  Panel out(dates, symbols, data);
  const auto R = rows();
  const auto C = cols();
  for (std::size_t t = 0; t < R; ++t) {
    double *yr = out.data.data() + t * C;
    // Adding -0.0 in place of a NaN cell leaves any sum unchanged.
    double sum = -0.0;
    for (std::size_t c = 0; c < C; ++c) {
      sum += yr[c] != yr[c] ? -0.0 : std::fabs(yr[c]);
    }
    if (sum > 0) {
      for (std::size_t c = 0; c < C; ++c) {
        yr[c] /= sum;
      }
    }
  }
  return out;
}

} // namespace zorv
