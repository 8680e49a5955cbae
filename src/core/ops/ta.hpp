// Technical indicators over high, low, close and volume histories.
//
// Results carry close's grid (aroon_dir: its one input's; stoch_d: %K's). The other inputs are
// not aligned: they are read at close's row and column positions, so each must be at least as
// large as close, otherwise the indicator fails with "{name} panel is smaller than close".
// Cells that cannot be formed stay NaN; no indicator fails for numeric reasons.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "core/panel.hpp"

namespace zorv::ta {

// Wilder smoothing of one column: the seed is the mean of x[start+1 .. start+n] (x[start] left
// out), written at start+n; later values follow v = (v * (n - 1) + x[i]) / n. All NaN when n is 0
// or start+n is not below the length.
std::vector<double> wilder_col(const std::vector<double> &x, std::size_t start, std::size_t n);

Result<Panel> atr(const Panel &high, const Panel &low, const Panel &close, std::size_t n);
Result<Panel> natr(const Panel &high, const Panel &low, const Panel &close, std::size_t n);
Result<Panel> cci(const Panel &high, const Panel &low, const Panel &close, std::size_t n);
Result<Panel> willr(const Panel &high, const Panel &low, const Panel &close, std::size_t n);
Result<Panel> stoch_k(const Panel &high, const Panel &low, const Panel &close, std::size_t n);
Result<Panel> stoch_d(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                      std::size_t d);
// Aroon up (up = true, position of the window's maximum) or down (minimum).
Panel aroon_dir(const Panel &x, std::size_t n, bool up);
Result<Panel> obv(const Panel &close, const Panel &volume);
Result<Panel> mfi(const Panel &high, const Panel &low, const Panel &close, const Panel &volume,
                  std::size_t n);
Result<Panel> vwap(const Panel &high, const Panel &low, const Panel &close, const Panel &volume,
                   std::size_t n);

// +DI and -DI of column `col`, one entry per row of close; both all NaN when `col` is not a
// column of close or the column has no finite close.
Result<std::pair<std::vector<double>, std::vector<double>>>
di_cols(const Panel &high, const Panel &low, const Panel &close, std::size_t col, std::size_t n);
// +DI (plus = true) or -DI of every column.
Result<Panel> di_panel(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                       bool plus);
Result<Panel> adx(const Panel &high, const Panel &low, const Panel &close, std::size_t n);

} // namespace zorv::ta
