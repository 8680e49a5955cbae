#include "core/ops/ta.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>

#include "core/ops/kernel.hpp"
#include "core/ops/rolling.hpp"

// The indicators sweep rows and work across all columns of a row at once, carrying each column's
// state (start row, running values, counts) in per-call vectors: the panels are row-major, and
// every window sum stays a per-column sum in ascending row order.

namespace zorv::ta {

namespace {

using ops::finite;
using ops::first_finite;
using ops::kInf;
using ops::kNaN;
using ops::kNone;
using ops::OutView;
using ops::RollingExtreme;
using ops::View;

struct Input {
  const Panel &panel;
  const char *name;
};

// The inputs are read at close's positions, so each must cover close's grid.
Result<void> check_covers(const Panel &close, std::initializer_list<Input> inputs) {
  for (const Input &in : inputs) {
    if (in.panel.rows() < close.rows() || in.panel.cols() < close.cols()) {
      return eval_error(std::string(in.name) + " panel is smaller than close");
    }
  }
  return {};
}

// A panel of the given grid whose cells are not yet written; for results that write every cell.
Panel unfilled(const Panel &grid) {
  return Panel(grid.dates, grid.symbols,
               uninit_matrix(static_cast<Eigen::Index>(grid.rows()),
                             static_cast<Eigen::Index>(grid.cols())));
}

// out = ok ? v : NaN. Storing v first keeps its computation unconditional: otherwise GCC moves a
// division that might raise a floating-point flag behind the branch, and the loop stays scalar.
void put(double &out, double v, bool ok) {
  out = v;
  if (!ok) {
    out = kNaN;
  }
}

double typical(double h, double l, double c) { return (h + l + c) / 3.0; }

// Largest of the three terms, a NaN term left out; NaN only when all three are NaN. Among equal
// terms the first is kept. Selects rather than branches, so that rows vectorise.
double true_range(double h, double l, double prev_close) {
  double best = h - l;
  const double b = std::abs(h - prev_close);
  best = (b > best || (best != best && b == b)) ? b : best;
  const double c = std::abs(l - prev_close);
  best = (c > best || (best != best && c == c)) ? c : best;
  return best == best ? best : kNaN;
}

// Wilder smoothing of several columns fed one row at a time. Column j starts at start[j] (kNone:
// never): rows start+1 .. start+n form the seed, written at start+n; later rows update it.
class Wilder {
public:
  Wilder(const std::size_t *start, std::size_t width, std::size_t n)
      : start_(start), n_(n), nf_(static_cast<double>(n)), nm1_(nf_ - 1.0), v_(width, kNaN) {
    // A column that never starts keeps NaN, which the update leaves NaN; so once every other
    // column is past its seed, all columns take the same branch-free update.
    for (std::size_t j = 0; j < width; ++j) {
      if (start[j] == kNone) {
        continue;
      }
      order_.push_back(j);
      // A seed that never ends (start + n + 1 beyond any row) keeps every row general.
      const bool ends = n < kNone - 1 - start[j];
      steady_ = std::max(steady_, ends ? start[j] + n + 1 : kNone);
    }
    std::stable_sort(order_.begin(), order_.end(),
                     [start](std::size_t a, std::size_t b) { return start[a] < start[b]; });
  }

  // Whether row t is better run as the plain update over all columns, with the columns of
  // pending() (inside their seed; their state saved and restored around the plain update) then
  // redone one by one. Late starters would otherwise keep every row general. Up to its start
  // row a column's value is still the initial NaN, which the plain update keeps, so the plain
  // update gives those rows their NaN. Rows must come in ascending order.
  bool split(std::size_t t) {
    if (n_ == 0) {
      return false;
    }
    if (t >= steady_) {
      pending_.clear();
      return true;
    }
    for (; next_ < order_.size() && start_[order_[next_]] < t; ++next_) {
      pending_.push_back(order_[next_]);
    }
    std::erase_if(pending_, [&](std::size_t j) { return t - start_[j] > n_; });
    return pending_.size() * 8 <= v_.size();
  }
  const std::vector<std::size_t> &pending() const { return pending_; }
  void save(const std::vector<std::size_t> &cols) {
    saved_.resize(cols.size());
    for (std::size_t i = 0; i < cols.size(); ++i) {
      saved_[i] = v_[cols[i]];
    }
  }
  void restore(const std::vector<std::size_t> &cols) {
    for (std::size_t i = 0; i < cols.size(); ++i) {
      v_[cols[i]] = saved_[i];
    }
  }

  double update(std::size_t j, double x) { return updater()(j, x); }

  // The plain update with its state in locals, for loops over whole rows.
  struct Updater {
    double *v;
    double nm1, nf;
    double operator()(std::size_t j, double x) const { return v[j] = (v[j] * nm1 + x) / nf; }
  };
  Updater updater() { return {v_.data(), nm1_, nf_}; }

  // Any row: seed, update or NaN, by the column's position relative to its start.
  double step(std::size_t t, std::size_t j, double x) {
    if (n_ == 0 || start_[j] == kNone || t <= start_[j]) {
      return kNaN;
    }
    const std::size_t k = t - start_[j];
    double &v = v_[j];
    if (k > n_) {
      return update(j, x);
    }
    v = (k == 1 ? 0.0 : v) + x;
    if (k < n_) {
      return kNaN;
    }
    v = v / nf_;
    return v;
  }

  // Row t: plain(), which applies the plain update to every column, or general(j) per column.
  template <class Plain, class General> void row(std::size_t t, Plain plain, General general) {
    if (!split(t)) {
      for (std::size_t j = 0; j < v_.size(); ++j) {
        general(j);
      }
      return;
    }
    save(pending_);
    plain();
    restore(pending_);
    for (std::size_t j : pending_) {
      general(j);
    }
  }

private:
  const std::size_t *start_;
  std::size_t n_;
  double nf_, nm1_;
  std::vector<double> v_;
  std::size_t steady_ = 0;
  std::vector<std::size_t> order_; // columns that start, by start row
  std::size_t next_ = 0;           // first of order_ not yet past its start row
  std::vector<std::size_t> pending_;
  std::vector<double> saved_;
};

// True range of row t of column j, or NaN on rows up to the column's start.
double true_range_at(std::size_t t, std::size_t j, const std::size_t *s, View h, View l, View c) {
  return (s[j] != kNone && t > s[j]) ? true_range(h[t][j], l[t][j], c[t - 1][j]) : kNaN;
}

// +DI and -DI of a run of columns, one row at a time.
struct Directional {
  Directional(View h, View l, View c, std::size_t rows, std::size_t width, std::size_t n)
      : h_(h), l_(l), c_(c), s(first_finite(c, rows, width)), wtr_(s.data(), width, n),
        wpdm_(s.data(), width, n), wmdm_(s.data(), width, n) {}

  // Fills pdi[j] (when Plus) and mdi[j] (when Minus) for row t; rows must come in ascending
  // order from 0. A side not asked for is not smoothed at all.
  template <bool Plus, bool Minus> void step(std::size_t t, double *pdi, double *mdi) {
    const std::size_t width = s.size();
    auto finish = [&](std::size_t j, double tr, double pdm, double mdm) {
      const bool ok = finite(tr) & (tr != 0.0);
      if constexpr (Plus) {
        const double v = pdm * 100.0 / tr;
        put(pdi[j], v, ok);
      }
      if constexpr (Minus) {
        const double v = mdm * 100.0 / tr;
        put(mdi[j], v, ok);
      }
    };
    auto general = [&](std::size_t j) {
      double pdm = kNaN, mdm = kNaN;
      if (s[j] != kNone && t > s[j]) {
        const double up = h_[t][j] - h_[t - 1][j];
        const double down = l_[t - 1][j] - l_[t][j];
        // A NaN move fails every comparison, so both movements come out 0.0.
        pdm = (up > down && up > 0.0) ? up : 0.0;
        mdm = (down > up && down > 0.0) ? down : 0.0;
      }
      const double tr = wtr_.step(t, j, true_range_at(t, j, s.data(), h_, l_, c_));
      finish(j, tr, Plus ? wpdm_.step(t, j, pdm) : 0.0, Minus ? wmdm_.step(t, j, mdm) : 0.0);
    };
    // The three smoothers share their start rows, so wtr_'s pending columns are theirs too.
    if (t == 0 || !wtr_.split(t)) {
      for (std::size_t j = 0; j < width; ++j) {
        general(j);
      }
      return;
    }
    const std::vector<std::size_t> &pending = wtr_.pending();
    wtr_.save(pending);
    wpdm_.save(pending);
    wmdm_.save(pending);
    steady_row<Plus, Minus>(width, h_[t], h_[t - 1], l_[t], l_[t - 1], c_[t - 1], wtr_.updater(),
                            wpdm_.updater(), wmdm_.updater(), pdi, mdi);
    wtr_.restore(pending);
    wpdm_.restore(pending);
    wmdm_.restore(pending);
    for (std::size_t j : pending) {
      general(j);
    }
  }

  // The plain update of every column of a row (columns still in their seed are redone after).
  // The arrays are all distinct, which the compiler
  // must know to vectorise the loop (too many pairs to check at run time).
  template <bool Plus, bool Minus>
  static void steady_row(std::size_t width, const double *__restrict h, const double *__restrict hp,
                         const double *__restrict l, const double *__restrict lp,
                         const double *__restrict cp, Wilder::Updater utr, Wilder::Updater updm,
                         Wilder::Updater umdm, double *__restrict pdi, double *__restrict mdi) {
    double *__restrict vtr = utr.v;
    double *__restrict vp = updm.v;
    double *__restrict vm = umdm.v;
    const double nm1 = utr.nm1, nf = utr.nf;
    // Separate loops: fused into one, GCC gives up on the selects.
    for (std::size_t j = 0; j < width; ++j) {
      vtr[j] = (vtr[j] * nm1 + true_range(h[j], l[j], cp[j])) / nf;
      const double up = h[j] - hp[j];
      const double down = lp[j] - l[j];
      if constexpr (Plus) {
        vp[j] = (vp[j] * nm1 + ((up > down && up > 0.0) ? up : 0.0)) / nf;
      }
      if constexpr (Minus) {
        vm[j] = (vm[j] * nm1 + ((down > up && down > 0.0) ? down : 0.0)) / nf;
      }
    }
    auto side = [&](const double *__restrict dm, double *__restrict di) {
      for (std::size_t j = 0; j < width; ++j) {
        const double tr = vtr[j];
        put(di[j], dm[j] * 100.0 / tr, finite(tr) & (tr != 0.0));
      }
    };
    if constexpr (Plus) {
      side(vp, pdi);
    }
    if constexpr (Minus) {
      side(vm, mdi);
    }
  }

  View h_, l_, c_;
  const std::vector<std::size_t> s; // start row per column
  Wilder wtr_, wpdm_, wmdm_;
};

// Rows t-n+1 .. t of a derived series, kept in a ring of n rows.
class Ring {
public:
  Ring(std::size_t n, std::size_t width) : n_(n), width_(width), cells_(n * width) {}
  double *row(std::size_t t) { return cells_.data() + (t % n_) * width_; }

private:
  std::size_t n_, width_;
  std::vector<double> cells_;
};

// acc[j] = sum over rows t-n+1 .. t of row(i)[j], from +0.0 in ascending row order. Four
// columns at a time run down the rows with their sums in registers (up to 64 rows per pass, the
// sums carried on between passes), so the rows are read once and no sum goes back to memory per
// row.
template <class RowOf>
void window_sum(std::size_t t, std::size_t n, std::size_t width, RowOf row, double *acc) {
  constexpr std::size_t kRows = 64;
  std::fill(acc, acc + width, 0.0);
  const double *r[kRows];
  for (std::size_t i0 = t + 1 - n; i0 <= t; i0 += kRows) {
    const std::size_t m = std::min(kRows, t + 1 - i0);
    for (std::size_t k = 0; k < m; ++k) {
      r[k] = row(i0 + k);
    }
    std::size_t j = 0;
    for (; j + 4 <= width; j += 4) {
      double a0 = acc[j], a1 = acc[j + 1], a2 = acc[j + 2], a3 = acc[j + 3];
      for (std::size_t k = 0; k < m; ++k) {
        const double *x = r[k] + j;
        a0 += x[0];
        a1 += x[1];
        a2 += x[2];
        a3 += x[3];
      }
      acc[j] = a0;
      acc[j + 1] = a1;
      acc[j + 2] = a2;
      acc[j + 3] = a3;
    }
    for (; j < width; ++j) {
      double a = acc[j];
      for (std::size_t k = 0; k < m; ++k) {
        a += r[k][j];
      }
      acc[j] = a;
    }
  }
}

// Williams %R and %K, row by row: value(hh, ll, close) where the n-row high and low and close are
// finite and the range is not empty, NaN elsewhere. Every cell of each row is written.
template <class Fn> class RangePosition {
public:
  RangePosition(const Panel &high, const Panel &low, const Panel &close, std::size_t n, Fn value)
      : c_(close.data), width_(close.cols()), n_(n > close.rows() ? 0 : n),
        hh_(View(high.data), width_, n_), ll_(View(low.data), width_, n_), hrow_(width_),
        lrow_(width_), value_(value) {}

  void step(std::size_t t, double *out) {
    // Both extremes see every row, defined or not.
    const bool high_ready = n_ > 0 && hh_.step(t, hrow_.data());
    const bool low_ready = n_ > 0 && ll_.step(t, lrow_.data());
    if (!high_ready || !low_ready) {
      std::fill(out, out + width_, kNaN);
      return;
    }
    const double *c = c_[t];
    for (std::size_t j = 0; j < width_; ++j) {
      const double h = hrow_[j];
      const double l = lrow_[j];
      const bool ok = finite(h) & finite(l) & (h != l) & finite(c[j]);
      const double v = value_(h, l, c[j]);
      put(out[j], v, ok);
    }
  }

private:
  View c_;
  std::size_t width_, n_;
  RollingExtreme<true> hh_;
  RollingExtreme<false> ll_;
  std::vector<double> hrow_, lrow_;
  Fn value_;
};

struct WillrValue {
  double operator()(double hh, double ll, double c) const { return (hh - c) * -100.0 / (hh - ll); }
};
struct StochKValue {
  double operator()(double hh, double ll, double c) const { return (c - ll) * 100.0 / (hh - ll); }
};

template <class Fn>
Result<Panel> range_position(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                             Fn value) {
  UTIL_TRY(check_covers(close, {{high, "high"}, {low, "low"}}));
  Panel out = unfilled(close);
  const OutView o(out.data);
  RangePosition<Fn> pos(high, low, close, n, value);
  for (std::size_t t = 0; t < close.rows(); ++t) {
    pos.step(t, o[t]);
  }
  return out;
}

// ATR row by row into out, then post(row t, out row) while the row is in cache.
template <class Post>
Result<Panel> atr_rows(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                       Post post) {
  UTIL_TRY(check_covers(close, {{high, "high"}, {low, "low"}}));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out = unfilled(close);
  const View h(high.data), l(low.data), c(close.data);
  const OutView o(out.data);
  const auto s = first_finite(c, rows, cols);
  Wilder w(s.data(), cols, n);
  for (std::size_t t = 0; t < rows; ++t) {
    double *__restrict y = o[t];
    auto general = [&](std::size_t j) {
      y[j] = w.step(t, j, true_range_at(t, j, s.data(), h, l, c));
    };
    if (t == 0) {
      for (std::size_t j = 0; j < cols; ++j) {
        general(j);
      }
    } else {
      w.row(
          t,
          [&] {
            const double *__restrict hr = h[t], *__restrict lr = l[t], *__restrict cp = c[t - 1];
            const auto up = w.updater();
            double *__restrict v = up.v;
            for (std::size_t j = 0; j < cols; ++j) {
              y[j] = v[j] = (v[j] * up.nm1 + true_range(hr[j], lr[j], cp[j])) / up.nf;
            }
          },
          general);
    }
    post(t, y);
  }
  return out;
}

} // namespace

std::vector<double> wilder_col(const std::vector<double> &x, std::size_t start, std::size_t n) {
  std::vector<double> out(x.size());
  Wilder w(&start, 1, n);
  for (std::size_t t = 0; t < x.size(); ++t) {
    out[t] = w.step(t, 0, x[t]);
  }
  return out;
}

Result<Panel> atr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  return atr_rows(high, low, close, n, [](std::size_t, double *) {});
}

Result<Panel> natr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  const View c(close.data);
  const std::size_t cols = close.cols();
  return atr_rows(high, low, close, n, [&](std::size_t t, double *a) {
    const double *cr = c[t];
    for (std::size_t j = 0; j < cols; ++j) {
      const double v = a[j];
      const bool ok = finite(v) & (cr[j] != 0.0);
      const double r = (v * 100.0) / cr[j];
      put(a[j], r, ok);
    }
  });
}

Result<Panel> cci(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  UTIL_TRY(check_covers(close, {{high, "high"}, {low, "low"}}));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  if (n == 0 || n > rows) {
    return out;
  }
  const View h(high.data), l(low.data), c(close.data);
  const OutView o(out.data);
  const double nf = static_cast<double>(n);
  Ring tp(n, cols);
  std::vector<std::size_t> run(cols, 0);
  std::vector<double> mean(cols), dev(cols);
  auto tp_row = [&](std::size_t i) { return tp.row(i); };
  for (std::size_t t = 0; t < rows; ++t) {
    double *p = tp.row(t);
    bool any = false;
    for (std::size_t j = 0; j < cols; ++j) {
      p[j] = typical(h[t][j], l[t][j], c[t][j]);
      run[j] = finite(p[j]) ? run[j] + 1 : 0;
      any = any || run[j] >= n;
    }
    // A finite typical price needs a finite close, so n finite ones in a row never reach above
    // the column's start row.
    if (!any) {
      continue;
    }
    window_sum(t, n, cols, tp_row, mean.data());
    for (std::size_t j = 0; j < cols; ++j) {
      mean[j] = mean[j] / nf;
    }
    std::fill(dev.begin(), dev.end(), 0.0);
    for (std::size_t i = t + 1 - n; i <= t; ++i) {
      const double *r = tp.row(i);
      for (std::size_t j = 0; j < cols; ++j) {
        dev[j] += std::abs(r[j] - mean[j]);
      }
    }
    for (std::size_t j = 0; j < cols; ++j) {
      const double md = dev[j] / nf;
      if (run[j] >= n && md != 0.0) {
        o[t][j] = (p[j] - mean[j]) / (md * 0.015);
      }
    }
  }
  return out;
}

Result<Panel> willr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  return range_position(high, low, close, n, WillrValue{});
}

Result<Panel> stoch_k(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  return range_position(high, low, close, n, StochKValue{});
}

Result<Panel> stoch_d(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                      std::size_t d) {
  UTIL_TRY(check_covers(close, {{high, "high"}, {low, "low"}}));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  if (d == 0 || d > rows) {
    return Panel(close.dates, close.symbols);
  }
  Panel out = unfilled(close);
  const OutView o(out.data);
  // %K is kept only for the last d rows.
  RangePosition<StochKValue> k(high, low, close, n, StochKValue{});
  Ring ring(d, cols);
  const double df = static_cast<double>(d);
  // A window ending before row bad_end[j] holds a non-finite %K. A window of d finite values
  // never reaches above %K's first finite row.
  std::vector<double> bad_end(cols, 0.0), sum(cols);
  for (std::size_t t = 0; t < rows; ++t) {
    double *kr = ring.row(t);
    k.step(t, kr);
    const double row = static_cast<double>(t);
    const double end = static_cast<double>(t + d);
    double *__restrict be = bad_end.data();
    for (std::size_t j = 0; j < cols; ++j) {
      be[j] = finite(kr[j]) ? be[j] : end;
    }
    double *__restrict y = o[t];
    if (t + 1 < d) {
      std::fill(y, y + cols, kNaN);
      continue;
    }
    window_sum(
        t, d, cols, [&](std::size_t i) { return ring.row(i); }, sum.data());
    for (std::size_t j = 0; j < cols; ++j) {
      put(y[j], sum[j] / df, row >= be[j]);
    }
  }
  return out;
}

namespace {

// Aroon: how recent the extreme of the last n + 1 rows is, in percent of n, from the row that
// extreme gives (the latest among ties; NaN for a window holding a non-finite cell).
template <class Extreme>
void aroon_rows(Extreme &&extreme, const OutView &o, std::size_t rows, std::size_t cols,
                std::size_t n) {
  const double nf = static_cast<double>(n);
  for (std::size_t t = 0; t < rows; ++t) {
    double *__restrict y = o[t];
    if (!extreme.step(t, y)) {
      std::fill(y, y + cols, kNaN);
      continue;
    }
    const double tf = static_cast<double>(t);
    for (std::size_t j = 0; j < cols; ++j) {
      const double b = y[j];
      put(y[j], (nf - (tf - b)) * 100.0 / nf, b == b);
    }
  }
}

} // namespace

Panel aroon_dir(const Panel &x, std::size_t n, bool up) {
  const std::size_t rows = x.rows();
  const std::size_t cols = x.cols();
  if (n == 0 || n >= rows) {
    return Panel(x.dates, x.symbols);
  }
  Panel out = unfilled(x);
  const OutView o(out.data);
  if (up) {
    aroon_rows(RollingExtreme<true, true>(View(x.data), cols, n + 1), o, rows, cols, n);
  } else {
    aroon_rows(RollingExtreme<false, true>(View(x.data), cols, n + 1), o, rows, cols, n);
  }
  return out;
}

Result<Panel> obv(const Panel &close, const Panel &volume) {
  UTIL_TRY(check_covers(close, {{volume, "volume"}}));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out = unfilled(close);
  const View c(close.data), v(volume.data);
  const OutView o(out.data);
  const auto s = first_finite(c, rows, cols);
  // A column that never starts keeps a NaN total, which every step leaves NaN; so past the last
  // start row all columns take the same step.
  std::vector<double> total(cols, kNaN);
  std::size_t settled = 0;
  for (std::size_t j = 0; j < cols; ++j) {
    if (s[j] != kNone) {
      settled = std::max(settled, s[j] + 1);
    }
  }
  // Adding -0.0 leaves every total as it is; the table lookup keeps rises and falls off the
  // branch predictor.
  auto step = [&](std::size_t t, std::size_t j) {
    const double diff = c[t][j] - c[t - 1][j];
    const double add[3] = {-0.0, v[t][j], -v[t][j]};
    return total[j] += add[int{diff > 0.0} + 2 * int{diff < 0.0}];
  };
  for (std::size_t t = 0; t < rows; ++t) {
    double *y = o[t];
    if (t > 0 && t >= settled) {
      for (std::size_t j = 0; j < cols; ++j) {
        y[j] = step(t, j);
      }
      continue;
    }
    for (std::size_t j = 0; j < cols; ++j) {
      if (s[j] == kNone || t < s[j]) {
        y[j] = kNaN;
      } else if (t == s[j]) {
        y[j] = total[j] = v[t][j];
      } else {
        y[j] = step(t, j);
      }
    }
  }
  return out;
}

Result<Panel> mfi(const Panel &high, const Panel &low, const Panel &close, const Panel &volume,
                  std::size_t n) {
  UTIL_TRY(check_covers(close, {{high, "high"}, {low, "low"}, {volume, "volume"}}));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  if (n >= rows) {
    return Panel(close.dates, close.symbols);
  }
  Panel out = unfilled(close);
  const View h(high.data), l(low.data), c(close.data), v(volume.data);
  const OutView o(out.data);
  const auto s = first_finite(c, rows, cols);
  // First row each column defines, as a double (infinite for a column without a start), so that
  // the output loop selects without branches.
  std::vector<double> first(cols);
  for (std::size_t j = 0; j < cols; ++j) {
    first[j] = s[j] == kNone ? kInf : static_cast<double>(s[j]) + static_cast<double>(n);
  }
  // With n = 0 every window is empty: no flow is kept and every sum stays 0.0.
  Ring pos(std::max<std::size_t>(n, 1), cols), neg(std::max<std::size_t>(n, 1), cols);
  std::vector<double> tp(cols), prev_tp(cols), p(cols), m(cols);
  auto pos_row = [&](std::size_t i) { return pos.row(i); };
  auto neg_row = [&](std::size_t i) { return neg.row(i); };
  for (std::size_t t = 0; t < rows; ++t) {
    double *pr = pos.row(t);
    double *nr = neg.row(t);
    bool any = false;
    for (std::size_t j = 0; j < cols; ++j) {
      tp[j] = typical(h[t][j], l[t][j], c[t][j]);
      pr[j] = nr[j] = 0.0;
      if (s[j] == kNone || t < s[j]) {
        continue;
      }
      if (t > s[j]) {
        // Equal or NaN typical prices keep both flows at 0.0; lookups instead of branches.
        const double pick[2] = {0.0, v[t][j] * tp[j]};
        pr[j] = pick[tp[j] > prev_tp[j]];
        nr[j] = pick[tp[j] < prev_tp[j]];
      }
      any = any || t - s[j] >= n;
    }
    std::swap(tp, prev_tp);
    double *y = o[t];
    // Windows end at s + n or later, so they start after s.
    if (!any) {
      std::fill(y, y + cols, kNaN);
      continue;
    }
    if (n == 0) {
      std::fill(p.begin(), p.end(), 0.0);
      std::fill(m.begin(), m.end(), 0.0);
    } else {
      window_sum(t, n, cols, pos_row, p.data());
      window_sum(t, n, cols, neg_row, m.data());
    }
    const double row = static_cast<double>(t);
    for (std::size_t j = 0; j < cols; ++j) {
      // Unconditional first, overwritten after: see put.
      y[j] = 100.0 - 100.0 / (p[j] / m[j] + 1.0);
      if (m[j] == 0.0) {
        y[j] = 100.0;
      }
      if (!(row >= first[j])) {
        y[j] = kNaN;
      }
    }
  }
  return out;
}

Result<Panel> vwap(const Panel &high, const Panel &low, const Panel &close, const Panel &volume,
                   std::size_t n) {
  UTIL_TRY(check_covers(close, {{high, "high"}, {low, "low"}, {volume, "volume"}}));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  if (n == 0 || n > rows) {
    return out;
  }
  const View h(high.data), l(low.data), c(close.data), v(volume.data);
  const OutView o(out.data);
  Ring tp(n, cols);
  std::vector<std::size_t> run(cols, 0);
  std::vector<double> num(cols), den(cols);
  for (std::size_t t = 0; t < rows; ++t) {
    double *p = tp.row(t);
    bool any = false;
    for (std::size_t j = 0; j < cols; ++j) {
      p[j] = typical(h[t][j], l[t][j], c[t][j]);
      run[j] = (finite(p[j]) && finite(v[t][j])) ? run[j] + 1 : 0;
      any = any || run[j] >= n;
    }
    // As in cci, finite typical prices keep the window at or after the start row.
    if (!any) {
      continue;
    }
    std::fill(num.begin(), num.end(), 0.0);
    std::fill(den.begin(), den.end(), 0.0);
    for (std::size_t i = t + 1 - n; i <= t; ++i) {
      const double *pi = tp.row(i);
      const double *vi = v[i];
      for (std::size_t j = 0; j < cols; ++j) {
        num[j] += pi[j] * vi[j];
        den[j] += vi[j];
      }
    }
    for (std::size_t j = 0; j < cols; ++j) {
      if (run[j] >= n && den[j] != 0.0) {
        o[t][j] = num[j] / den[j];
      }
    }
  }
  return out;
}

Result<std::pair<std::vector<double>, std::vector<double>>>
di_cols(const Panel &high, const Panel &low, const Panel &close, std::size_t col, std::size_t n) {
  UTIL_TRY(check_covers(close, {{high, "high"}, {low, "low"}}));
  const std::size_t rows = close.rows();
  std::vector<double> plus(rows, kNaN), minus(rows, kNaN);
  if (col >= close.cols() || rows == 0) {
    return std::pair{std::move(plus), std::move(minus)};
  }
  Directional di(View(high.data, col), View(low.data, col), View(close.data, col), rows, 1, n);
  for (std::size_t t = 0; t < rows; ++t) {
    di.step<true, true>(t, &plus[t], &minus[t]);
  }
  return std::pair{std::move(plus), std::move(minus)};
}

Result<Panel> di_panel(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                       bool plus) {
  UTIL_TRY(check_covers(close, {{high, "high"}, {low, "low"}}));
  Panel out = unfilled(close);
  const OutView o(out.data);
  Directional di(View(high.data), View(low.data), View(close.data), close.rows(), close.cols(), n);
  for (std::size_t t = 0; t < close.rows(); ++t) {
    if (plus) {
      di.step<true, false>(t, o[t], nullptr);
    } else {
      di.step<false, true>(t, nullptr, o[t]);
    }
  }
  return out;
}

Result<Panel> adx(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  UTIL_TRY(check_covers(close, {{high, "high"}, {low, "low"}}));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  if (n == 0 || n > rows) {
    return Panel(close.dates, close.symbols);
  }
  Panel out = unfilled(close);
  const OutView o(out.data);
  Directional di(View(high.data), View(low.data), View(close.data), rows, cols, n);
  // DX is smoothed from the row before the first directional values.
  std::vector<std::size_t> start(cols, kNone);
  for (std::size_t j = 0; j < cols; ++j) {
    if (di.s[j] != kNone) {
      start[j] = di.s[j] + n - 1;
    }
  }
  std::vector<double> pdi(cols), mdi(cols);
  Wilder w(start.data(), cols, n);
  for (std::size_t t = 0; t < rows; ++t) {
    di.step<true, true>(t, pdi.data(), mdi.data());
    // DX in place of +DI.
    for (std::size_t j = 0; j < cols; ++j) {
      const double p = pdi[j];
      const double m = mdi[j];
      const double sum = p + m;
      pdi[j] = std::abs(p - m) * 100.0 / sum;
      if (sum == 0.0) {
        pdi[j] = 0.0;
      }
      if (!(finite(p) & finite(m))) {
        pdi[j] = kNaN;
      }
    }
    double *__restrict y = o[t];
    const double *__restrict dx = pdi.data();
    w.row(
        t,
        [&] {
          const auto up = w.updater();
          double *__restrict v = up.v;
          for (std::size_t j = 0; j < cols; ++j) {
            y[j] = v[j] = (v[j] * up.nm1 + dx[j]) / up.nf;
          }
        },
        [&](std::size_t j) { y[j] = w.step(t, j, dx[j]); });
  }
  return out;
}

} // namespace zorv::ta
