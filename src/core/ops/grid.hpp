// Helpers shared by the operators in this directory.
#pragma once

#include <limits>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "core/panel.hpp"

namespace zorv::ops {

// True when aligning the panel with another panel of the same grid gives that grid back
// unchanged: dates strictly ascending, no symbol repeated. Operators composed from two-panel
// operators over one input may then skip the alignment.
inline bool grid_is_canonical(const Panel &p) {
  for (std::size_t i = 1; i < p.dates.size(); ++i) {
    if (p.dates[i] <= p.dates[i - 1]) {
      return false;
    }
  }
  std::unordered_set<std::string_view> seen;
  seen.reserve(p.symbols.size());
  for (const auto &s : p.symbols) {
    if (!seen.insert(s).second) {
      return false;
    }
  }
  return true;
}

// Cell (t, c) is f(x[t][c], x[t-n][c]), with NaN for the cells before the first row: what a
// two-panel operator over the panel and its n-row lag gives when the grid is canonical.
template <class F> Panel zip_with_lag(const Panel &p, std::size_t n, F f) {
  const auto R = p.rows();
  const auto C = p.cols();
  Matrix m(p.data.rows(), p.data.cols());
  const double *x = p.data.data();
  double *y = m.data();
  const std::size_t lead = n < R ? n : R;
  for (std::size_t i = 0; i < lead * C; ++i) {
    y[i] = f(x[i], std::numeric_limits<double>::quiet_NaN());
  }
  for (std::size_t i = lead * C; i < R * C; ++i) {
    y[i] = f(x[i], x[i - n * C]);
  }
  return Panel(p.dates, p.symbols, std::move(m));
}

} // namespace zorv::ops
