#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "core/ops/grid.hpp"
#include "core/panel.hpp"

namespace zorv {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

inline bool finite(double x) { return std::isfinite(x); }

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
  // A window ending before row nan_end[c] holds a NaN of column c (rows held as doubles, exact,
  // so that the selects below vectorise).
  std::vector<double> nan_end(C, 0.0);

  for (std::size_t b0 = 0; b0 < R; b0 += n) {
    const std::size_t b1 = (R - b0 > n) ? b0 + n : R;
    for (std::size_t t = b0; t < b1; ++t) {
      const double *xr = x + t * C;
      const double row = static_cast<double>(t);
      const double end = static_cast<double>(t + n);
      for (std::size_t c = 0; c < C; ++c) {
        const bool nan = xr[c] != xr[c];
        const double v = nan ? neutral : xr[c];
        prefix[c] = (t == b0) ? v : join(prefix[c], v);
        nan_end[c] = nan ? end : nan_end[c];
      }
      if (t + 1 < n) {
        continue;
      }
      double *yr = y + t * C;
      if (t + 1 == b0 + n) { // the window is exactly this block
        for (std::size_t c = 0; c < C; ++c) {
          const double v = prefix[c];
          yr[c] = row < nan_end[c] ? kNaN : v;
        }
      } else {
        const double *sr = suffix.data() + ((t + 1) % n) * C; // row t - n + 1
        for (std::size_t c = 0; c < C; ++c) {
          const double v = join(sr[c], prefix[c]);
          yr[c] = row < nan_end[c] ? kNaN : v;
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

// Walks the cells row by row, handing each cell from its column's first finite row s on to
// step(column, k = row - s, cell of the row before, cell, output cell). The row before is NaN at
// row 0. Output cells start NaN.
template <class Step> Panel walk_from_first_finite(const Panel &p, Step step) {
  Panel out(p.dates, p.symbols);
  const auto R = p.rows();
  const auto C = p.cols();
  const double *x = p.data.data();
  double *y = out.data.data();
  std::vector<std::size_t> start(C, kNone);
  for (std::size_t t = 0; t < R; ++t) {
    const double *xr = x + t * C;
    double *yr = y + t * C;
    for (std::size_t c = 0; c < C; ++c) {
      if (start[c] == kNone) {
        if (!finite(xr[c])) {
          continue;
        }
        start[c] = t;
      }
      step(c, t - start[c], t > 0 ? (xr - C)[c] : kNaN, xr[c], yr[c]);
    }
  }
  return out;
}

} // namespace

Panel Panel::pct_change(std::size_t n) const {
  if (ops::grid_is_canonical(*this)) {
    return ops::zip_with_lag(*this, n, [](double now, double then) { return (now - then) / then; });
  }
  const Panel lagged = shift(n);
  return sub(lagged).div(lagged);
}

Panel Panel::rise(std::size_t n) const {
  if (ops::grid_is_canonical(*this)) {
    return ops::zip_with_lag(*this, n,
                             [](double now, double then) { return now > then ? 1.0 : 0.0; });
  }
  return gt(shift(n));
}

Panel Panel::fall(std::size_t n) const {
  if (ops::grid_is_canonical(*this)) {
    return ops::zip_with_lag(*this, n,
                             [](double now, double then) { return now < then ? 1.0 : 0.0; });
  }
  return lt(shift(n));
}

Panel Panel::rolling_max(std::size_t n) const {
  return Panel(dates, symbols, rolling_extreme<true>(data, n));
}

Panel Panel::rolling_min(std::size_t n) const {
  return Panel(dates, symbols, rolling_extreme<false>(data, n));
}

Panel Panel::rolling_std(std::size_t n) const {
  Panel out(dates, symbols);
  const auto R = rows();
  const auto C = cols();
  if (n == 0 || n > R) {
    return out;
  }
  const double nd = static_cast<double>(n);
  const double *x = data.data();
  double *y = out.data.data();
  std::vector<double> sum(C), sq(C);
  // A window ending before bad_end[c] holds a non-finite cell of column c.
  std::vector<std::size_t> bad_end(C, 0);
  for (std::size_t t = 0; t < R; ++t) {
    const double *xr = x + t * C;
    for (std::size_t c = 0; c < C; ++c) {
      bad_end[c] = finite(xr[c]) ? bad_end[c] : t + n;
    }
    if (t + 1 < n) {
      continue;
    }
    // Each window afresh, two passes, rows ascending; all columns of a row at once.
    const double *w = x + (t + 1 - n) * C;
    std::fill(sum.begin(), sum.end(), 0.0);
    for (std::size_t r = 0; r < n; ++r) {
      const double *wr = w + r * C;
      for (std::size_t c = 0; c < C; ++c) {
        sum[c] += wr[c];
      }
    }
    for (std::size_t c = 0; c < C; ++c) {
      sum[c] /= nd; // now the mean
    }
    std::fill(sq.begin(), sq.end(), 0.0);
    for (std::size_t r = 0; r < n; ++r) {
      const double *wr = w + r * C;
      for (std::size_t c = 0; c < C; ++c) {
        const double d = wr[c] - sum[c];
        sq[c] += d * d;
      }
    }
    double *yr = y + t * C;
    for (std::size_t c = 0; c < C; ++c) {
      yr[c] = t < bad_end[c] ? kNaN : std::sqrt(sq[c] / nd);
    }
  }
  return out;
}

Panel Panel::ema(std::size_t n) const {
  if (n == 0) {
    return Panel(dates, symbols);
  }
  const double nd = static_cast<double>(n);
  const double alpha = 2.0 / (nd + 1.0);
  const double keep = 1.0 - alpha;
  std::vector<double> acc(cols(), 0.0); // seed sum, then the average
  return walk_from_first_finite(*this,
                                [&](std::size_t c, std::size_t k, double, double v, double &out) {
                                  double &e = acc[c];
                                  if (k < n) {
                                    // The seed window is summed as it stands, non-finite cells
                                    // included.
                                    e += v;
                                    if (k + 1 == n) {
                                      e /= nd;
                                      out = e;
                                    }
                                  } else {
                                    e = e * keep + (finite(v) ? v : e) * alpha;
                                    out = e;
                                  }
                                });
}

Panel Panel::rsi(std::size_t n) const {
  if (n == 0) {
    return Panel(dates, symbols);
  }
  const double nd = static_cast<double>(n);
  std::vector<double> gain_avg(cols(), 0.0), loss_avg(cols(), 0.0);
  return walk_from_first_finite(
      *this, [&](std::size_t c, std::size_t k, double prev, double v, double &out) {
        if (k == 0) {
          return;
        }
        double d = v - prev;
        d = finite(d) ? d : 0.0;
        const double gain = d > 0 ? d : 0.0;
        const double loss = d <= 0 ? -d : 0.0;
        double &g = gain_avg[c];
        double &l = loss_avg[c];
        if (k < n) {
          g += gain;
          l += loss;
          return;
        }
        if (k == n) {
          g = (g + gain) / nd;
          l = (l + loss) / nd;
        } else {
          g = (g * (nd - 1.0) + gain) / nd;
          l = (l * (nd - 1.0) + loss) / nd;
        }
        out = l == 0.0 ? 100.0 : 100.0 - 100.0 / (g / l + 1.0);
      });
}

Panel Panel::average(std::size_t n) const {
  Panel out(dates, symbols);
  const auto R = rows();
  const auto C = cols();
  // Counts are held as doubles so that the loops vectorise; they are exact integers, and a
  // minimum beyond 2^53 that rounds still exceeds every count.
  const double min_count = static_cast<double>(std::max<std::size_t>(1, n / 2));
  const double *x = data.data();
  double *y = out.data.data();
  std::vector<double> sums(C, 0.0), counts(C, 0.0);
  double *sum = sums.data();
  double *count = counts.data();
  // The loops are written so that they have no branches and vectorise; a count below the
  // minimum divides by NaN.
  const auto finish = [&](double *yr) {
    for (std::size_t c = 0; c < C; ++c) {
      yr[c] = sum[c] / (count[c] >= min_count ? count[c] : kNaN);
    }
  };
  // Sums start from +0.0 and so never hold -0.0: adding +0.0 in place of a NaN cell leaves
  // them unchanged, which keeps the loops free of branches.
  const auto add = [&](const double *xr) {
    for (std::size_t c = 0; c < C; ++c) {
      const double v = xr[c];
      const double add = v != v ? 0.0 : v;
      const double one = v != v ? 0.0 : 1.0;
      sum[c] = sum[c] + add;
      count[c] = count[c] + one;
    }
  };
  // Up to row n-1 (every row when n = 0) the window runs from row 0: one running sum makes the
  // same additions in the same order as summing each window afresh.
  const std::size_t grow = (n == 0) ? R : std::min(n, R);
  for (std::size_t t = 0; t < grow; ++t) {
    add(x + t * C);
    finish(y + t * C);
  }
  for (std::size_t t = grow; t < R; ++t) {
    std::fill(sums.begin(), sums.end(), 0.0);
    std::fill(counts.begin(), counts.end(), 0.0);
    for (std::size_t r = t + 1 - n; r <= t; ++r) {
      add(x + r * C);
    }
    finish(y + t * C);
  }
  return out;
}

Panel Panel::rank_cs(bool pct, bool ascending) const {
  Panel out(dates, symbols);
  const auto R = rows();
  const auto C = cols();
  std::vector<std::pair<double, std::size_t>> cells;
  cells.reserve(C);
  for (std::size_t t = 0; t < R; ++t) {
    const double *xr = data.data() + t * C;
    double *yr = out.data.data() + t * C;
    cells.clear();
    for (std::size_t c = 0; c < C; ++c) {
      if (!std::isnan(xr[c])) {
        cells.emplace_back(xr[c], c);
      }
    }
    const std::size_t m = cells.size();
    if (m == 0) {
      continue;
    }
    // Equal values share one rank, so how ties are ordered does not matter here.
    if (ascending) {
      std::sort(cells.begin(), cells.end(),
                [](const auto &a, const auto &b) { return a.first < b.first; });
    } else {
      std::sort(cells.begin(), cells.end(),
                [](const auto &a, const auto &b) { return a.first > b.first; });
    }
    const double scale = pct ? static_cast<double>(m) : 1.0;
    for (std::size_t i = 0; i < m;) {
      std::size_t j = i + 1;
      while (j < m && cells[j].first == cells[i].first) {
        ++j;
      }
      const double rank = static_cast<double>((i + 1) + j) * 0.5 / scale;
      for (std::size_t k = i; k < j; ++k) {
        yr[cells[k].second] = rank;
      }
      i = j;
    }
  }
  return out;
}

} // namespace zorv
