// Row-streaming rolling extremes, shared by the window operators and the range indicators.
#pragma once

#include <cstddef>
#include <vector>

#include "core/ops/kernel.hpp"

namespace zorv::ops {

// Extreme (Max: largest) of the last n rows of several columns, fed one row at a time, without
// a whole panel in between. Linear in the cells whatever n is (van Herk / Gil-Werman): rows fall
// into blocks of n, and a window is the suffix of one block joined to the prefix of the next.
// Among equal values the earlier row's is kept, as a left-to-right scan that replaces only on a
// strict improvement gives it (-0.0 and 0.0 included); a window holding a NaN gives NaN.
template <bool Max> class RollingExtreme {
public:
  RollingExtreme(View x, std::size_t width, std::size_t n)
      : x_(x), width_(width), n_(n), suffix_(n * width), prefix_(width), nan_end_(width, 0.0) {}

  // Feeds row t (0, 1, ... in order, n > 0). From row n - 1 on, fills out with the extreme of
  // rows t-n+1 .. t and returns true.
  bool step(std::size_t t, double *out) {
    const std::size_t b0 = t - t % n_;
    if (t == b0 && t > 0)
      fill_suffixes(b0 - n_);
    const double *xr = x_[t];
    const double row = static_cast<double>(t);
    const double end = static_cast<double>(t + n_);
    double *pre = prefix_.data();
    double *ne = nan_end_.data();
    const bool first = t == b0;
    for (std::size_t j = 0; j < width_; ++j) {
      const bool nan = xr[j] != xr[j];
      const double v = nan ? kNeutral : xr[j];
      const double joined = join(pre[j], v);
      pre[j] = first ? v : joined;
      ne[j] = nan ? end : ne[j];
    }
    if (t + 1 < n_)
      return false;
    if (t + 1 == b0 + n_) { // the window is exactly this block
      for (std::size_t j = 0; j < width_; ++j) {
        const double v = pre[j];
        out[j] = row < ne[j] ? kNaN : v;
      }
    } else {
      const double *sr = suffix_.data() + ((t + 1) % n_) * width_; // row t - n + 1
      for (std::size_t j = 0; j < width_; ++j) {
        const double v = join(sr[j], pre[j]);
        out[j] = row < ne[j] ? kNaN : v;
      }
    }
    return true;
  }

private:
  static constexpr double kNeutral = Max ? -kInf : kInf;

  // The later value wins only when strictly better.
  static double join(double earlier, double later) {
    return (Max ? later > earlier : later < earlier) ? later : earlier;
  }

  // Suffixes of the full block starting at row b0, from its last row back; row b0+i at i.
  void fill_suffixes(std::size_t b0) {
    for (std::size_t i = n_; i-- > 0;) {
      const double *xr = x_[b0 + i];
      double *sr = suffix_.data() + i * width_;
      if (i + 1 == n_) {
        for (std::size_t j = 0; j < width_; ++j)
          sr[j] = xr[j] != xr[j] ? kNeutral : xr[j];
        continue;
      }
      const double *next = sr + width_;
      for (std::size_t j = 0; j < width_; ++j) {
        const double v = xr[j] != xr[j] ? kNeutral : xr[j];
        sr[j] = join(v, next[j]);
      }
    }
  }

  View x_;
  std::size_t width_, n_;
  std::vector<double> suffix_, prefix_;
  // A window ending before row nan_end_[j] holds a NaN (rows held as doubles so the selects
  // vectorise).
  std::vector<double> nan_end_;
};

} // namespace zorv::ops
