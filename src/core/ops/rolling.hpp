// Row-streaming rolling extremes, shared by the window operators, the range indicators and Aroon.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/ops/kernel.hpp"

namespace zorv::ops {

// Extreme (Max: largest) of the last n rows of several columns, fed one row at a time, without
// a whole panel in between. Linear in the cells whatever n is (van Herk / Gil-Werman): rows fall
// into blocks of n, and a window is the suffix of one block joined to the prefix of the next.
// Among equal values the earlier row's is kept, as a left-to-right scan that replaces only on a
// strict improvement gives it (-0.0 and 0.0 included); a window holding a NaN gives NaN.
//
// Row: gives instead the row of the extreme, as a double (exact: rows are far below 2^53). Among
// equal values the latest row's is kept, and a window holding any non-finite cell gives NaN, as
// Aroon wants them.
template <bool Max, bool Row = false> class RollingExtreme {
public:
  RollingExtreme(View x, std::size_t width, std::size_t n)
      : x_(x), width_(width), n_(n), suffix_(n * width), prefix_(width), nan_end_(width, 0.0),
        suffix_row_(Row ? n * width : 0), prefix_row_(Row ? width : 0) {}

  // Feeds row t (0, 1, ... in order, n > 0). From row n - 1 on, fills out with the extreme of
  // rows t-n+1 .. t (Row: its row) and returns true.
  bool step(std::size_t t, double *out) {
    const std::size_t b0 = t - t % n_;
    if (t == b0 && t > 0) {
      fill_suffixes(b0 - n_);
    }
    const double *xr = x_[t];
    const double row = static_cast<double>(t);
    const double end = static_cast<double>(t + n_);
    double *pre = prefix_.data();
    double *ne = nan_end_.data();
    const bool first = t == b0;
    if constexpr (Row) {
      double *pr = prefix_row_.data();
      by_packets(width_, [&]<class T>(std::size_t j) {
        const T x = pk::ploadu<T>(xr + j);
        const T v = pk::pselect(pk::pcmp_eq(x, x), x, pk::pset1<T>(kNeutral));
        const T bv = pk::ploadu<T>(pre + j);
        const T take = first ? pk::ptrue(v) : wins(v, bv);
        pk::pstoreu(pre + j, pk::pselect(take, v, bv));
        pk::pstoreu(pr + j, pk::pselect(take, pk::pset1<T>(row), pk::ploadu<T>(pr + j)));
        const T fin = pk::pcmp_eq(pk::psub(x, x), pk::pzero(x));
        pk::pstoreu(ne + j, pk::pselect(fin, pk::ploadu<T>(ne + j), pk::pset1<T>(end)));
      });
    } else {
      for (std::size_t j = 0; j < width_; ++j) {
        const bool nan = xr[j] != xr[j];
        const double v = nan ? kNeutral : xr[j];
        const double joined = join(pre[j], v);
        pre[j] = first ? v : joined;
        ne[j] = nan ? end : ne[j];
      }
    }
    if (t + 1 < n_) {
      return false;
    }
    const double *prow = prefix_row_.data();
    if (t + 1 == b0 + n_) { // the window is exactly this block
      const double *best = Row ? prow : pre;
      for (std::size_t j = 0; j < width_; ++j) {
        const double v = best[j];
        out[j] = row < ne[j] ? kNaN : v;
      }
    } else {
      const std::size_t at = ((t + 1) % n_) * width_; // row t - n + 1
      const double *sr = suffix_.data() + at;
      if constexpr (Row) {
        const double *srow = suffix_row_.data() + at;
        by_packets(width_, [&]<class T>(std::size_t j) {
          const T take = wins(pk::ploadu<T>(pre + j), pk::ploadu<T>(sr + j));
          const T v = pk::pselect(take, pk::ploadu<T>(prow + j), pk::ploadu<T>(srow + j));
          const T ok = pk::pcmp_le(pk::ploadu<T>(ne + j), pk::pset1<T>(row));
          pk::pstoreu(out + j, pk::pselect(ok, v, pk::pset1<T>(kNaN)));
        });
      } else {
        for (std::size_t j = 0; j < width_; ++j) {
          const double v = join(sr[j], pre[j]);
          out[j] = row < ne[j] ? kNaN : v;
        }
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

  // Row: whether a later value takes over from an earlier one (better or equal), lane by lane.
  template <class T> static T wins(const T &later, const T &earlier) {
    return Max ? pk::pcmp_le(earlier, later) : pk::pcmp_le(later, earlier);
  }

  // body<T>(j) over the columns: T a packet while whole packets remain, then double for the rest.
  // The Row loops run on packets so that they are selects whatever the compiler's vectoriser
  // does: at -O2 GCC leaves their scalar form unvectorised, with a branch on every compare.
  template <class Body> static void by_packets(std::size_t width, Body body) {
    using P = pk::packet_traits<double>::type;
    constexpr std::size_t kLanes = pk::packet_traits<double>::size;
    std::size_t j = 0;
    for (; j + kLanes <= width; j += kLanes) {
      body.template operator()<P>(j);
    }
    for (; j < width; ++j) {
      body.template operator()<double>(j);
    }
  }

  // Suffixes of the full block starting at row b0, from its last row back; row b0+i at i.
  void fill_suffixes(std::size_t b0) {
    for (std::size_t i = n_; i-- > 0;) {
      const double *xr = x_[b0 + i];
      double *sr = suffix_.data() + i * width_;
      if (i + 1 == n_) {
        for (std::size_t j = 0; j < width_; ++j) {
          sr[j] = xr[j] != xr[j] ? kNeutral : xr[j];
        }
        if constexpr (Row) {
          std::fill_n(suffix_row_.data() + i * width_, width_, static_cast<double>(b0 + i));
        }
        continue;
      }
      const double *next = sr + width_;
      if constexpr (Row) {
        double *srow = suffix_row_.data() + i * width_;
        const double row = static_cast<double>(b0 + i);
        // An earlier cell takes over only when strictly beyond; a NaN one never (it meets only
        // windows that come out NaN).
        by_packets(width_, [&]<class T>(std::size_t j) {
          const T c = pk::ploadu<T>(xr + j);
          const T bv = pk::ploadu<T>(next + j);
          const T take = Max ? pk::pcmp_lt(bv, c) : pk::pcmp_lt(c, bv);
          pk::pstoreu(sr + j, pk::pselect(take, c, bv));
          pk::pstoreu(srow + j,
                      pk::pselect(take, pk::pset1<T>(row), pk::ploadu<T>(srow + width_ + j)));
        });
      } else {
        for (std::size_t j = 0; j < width_; ++j) {
          const double v = xr[j] != xr[j] ? kNeutral : xr[j];
          sr[j] = join(v, next[j]);
        }
      }
    }
  }

  View x_;
  std::size_t width_, n_;
  std::vector<double> suffix_, prefix_;
  // A window ending before row nan_end_[j] holds a NaN (Row: a non-finite cell); rows are held as
  // doubles so that the selects vectorise.
  std::vector<double> nan_end_;
  // Row: the rows of the suffix and prefix extremes.
  std::vector<double> suffix_row_, prefix_row_;
};

} // namespace zorv::ops
