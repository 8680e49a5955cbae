#include <limits>
#include <vector>

#include "core/panel.hpp"

namespace zorv {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Rolling extreme over n rows, linear in the cells whatever n is (van Herk / Gil-Werman): rows
// fall into blocks of n; a window is the suffix of one block joined to the prefix of the next.
// Every join keeps the earlier of two equal values, which is what a left-to-right scan that
// replaces only on a strict improvement returns (so -0.0 and 0.0 come out as the scan gives
// them). NaN enters the blocks as the neutral value; windows holding one are blanked afterwards.
template <bool Max> Matrix rolling_extreme(const Matrix &in, std::size_t n) {
  const auto R = static_cast<std::size_t>(in.rows());
  const auto C = static_cast<std::size_t>(in.cols());
  Matrix out = Matrix::Constant(in.rows(), in.cols(), kNaN);
  if (n == 0 || n > R || C == 0) {
    return out;
  }
  constexpr double neutral = Max ? -kInf : kInf;
  // The later value wins only when strictly better.
  const auto join = [](double earlier, double later) {
    return (Max ? later > earlier : later < earlier) ? later : earlier;
  };
  const double *x = in.data();
  double *y = out.data();
  std::vector<double> suffix(n * C); // suffixes of the previous block, row i at (i % n)
  std::vector<double> prefix(C);
  // A window ending before nan_end[c] holds a NaN of column c.
  std::vector<std::size_t> nan_end(C, 0);

  for (std::size_t b0 = 0; b0 < R; b0 += n) {
    const std::size_t b1 = (R - b0 > n) ? b0 + n : R;
    for (std::size_t t = b0; t < b1; ++t) {
      const double *xr = x + t * C;
      for (std::size_t c = 0; c < C; ++c) {
        const bool nan = xr[c] != xr[c];
        const double v = nan ? neutral : xr[c];
        prefix[c] = (t == b0) ? v : join(prefix[c], v);
        nan_end[c] = nan ? t + n : nan_end[c];
      }
      if (t + 1 < n) {
        continue;
      }
      double *yr = y + t * C;
      if (t + 1 == b0 + n) { // the window is exactly this block
        for (std::size_t c = 0; c < C; ++c) {
          yr[c] = t < nan_end[c] ? kNaN : prefix[c];
        }
      } else {
        const double *sr = suffix.data() + ((t + 1) % n) * C; // row t - n + 1
        for (std::size_t c = 0; c < C; ++c) {
          yr[c] = t < nan_end[c] ? kNaN : join(sr[c], prefix[c]);
        }
      }
    }
    if (b1 == R) {
      break;
    }
    // Suffixes of this block, from its last row back; the block is full since rows follow it.
    for (std::size_t i = n; i-- > 0;) {
      const double *xr = x + (b0 + i) * C;
      double *sr = suffix.data() + i * C;
      if (i + 1 == n) {
        for (std::size_t c = 0; c < C; ++c) {
          sr[c] = xr[c] != xr[c] ? neutral : xr[c];
        }
        continue;
      }
      const double *next = sr + C;
      for (std::size_t c = 0; c < C; ++c) {
        const double v = xr[c] != xr[c] ? neutral : xr[c];
        sr[c] = join(v, next[c]);
      }
    }
  }
  return out;
}

} // namespace

Panel Panel::rolling_max(std::size_t n) const {
  return Panel(dates, symbols, rolling_extreme<true>(data, n));
}

Panel Panel::rolling_min(std::size_t n) const {
  return Panel(dates, symbols, rolling_extreme<false>(data, n));
}

} // namespace zorv
