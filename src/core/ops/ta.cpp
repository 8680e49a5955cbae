#include "core/ops/ta.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>

// The indicators sweep rows and work across all columns of a row at once, carrying each column's
// state (start row, running values, counts) in per-call vectors: the panels are row-major, and
// every window sum stays a per-column sum in ascending row order.

namespace zorv::ta {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

bool finite(double x) { return std::isfinite(x); }

struct Input {
  const Panel &panel;
  const char *name;
};

// The inputs are read at close's positions, so each must cover close's grid.
Result<void> check_covers(const Panel &close, std::initializer_list<Input> inputs) {
  for (const Input &in : inputs)
    if (in.panel.rows() < close.rows() || in.panel.cols() < close.cols())
      return eval_error(std::string(in.name) + " panel is smaller than close");
  return {};
}

// Rows of a run of columns of a row-major matrix.
struct View {
  const double *first;
  std::size_t stride;
  explicit View(const Matrix &m, std::size_t col = 0)
      : first(m.data() + col), stride(static_cast<std::size_t>(m.cols())) {}
  const double *operator[](std::size_t t) const { return first + t * stride; }
};

struct OutView {
  double *first;
  std::size_t stride;
  explicit OutView(Matrix &m) : first(m.data()), stride(static_cast<std::size_t>(m.cols())) {}
  double *operator[](std::size_t t) const { return first + t * stride; }
};

// Per column, the first row whose cell is finite; kNone for a column without one.
std::vector<std::size_t> first_finite(View x, std::size_t rows, std::size_t width) {
  std::vector<std::size_t> s(width, kNone);
  std::size_t missing = width;
  for (std::size_t t = 0; t < rows && missing > 0; ++t) {
    const double *r = x[t];
    for (std::size_t j = 0; j < width; ++j) {
      if (s[j] == kNone && finite(r[j])) {
        s[j] = t;
        --missing;
      }
    }
  }
  return s;
}

double typical(double h, double l, double c) { return (h + l + c) / 3.0; }

// Largest of the three terms, a NaN term left out; NaN only when all three are NaN.
double true_range(double h, double l, double prev_close) {
  const double terms[] = {h - l, std::abs(h - prev_close), std::abs(l - prev_close)};
  double best = kNaN;
  for (double v : terms)
    if (!std::isnan(v) && (std::isnan(best) || v > best))
      best = v;
  return best;
}

// Wilder smoothing of several columns fed one row at a time. Column j starts at start[j] (kNone:
// never): rows start+1 .. start+n form the seed, written at start+n; later rows update it.
class Wilder {
public:
  Wilder(std::size_t width, std::size_t n) : n_(n), nf_(static_cast<double>(n)), v_(width) {}

  void step(std::size_t t, const std::size_t *start, const double *x, double *out) {
    for (std::size_t j = 0; j < v_.size(); ++j) {
      out[j] = kNaN;
      if (n_ == 0 || start[j] == kNone || t <= start[j])
        continue;
      const std::size_t k = t - start[j];
      double &v = v_[j];
      if (k <= n_) {
        v = (k == 1 ? 0.0 : v) + x[j];
        if (k == n_) {
          v = v / nf_;
          out[j] = v;
        }
      } else {
        v = (v * (nf_ - 1.0) + x[j]) / nf_;
        out[j] = v;
      }
    }
  }

private:
  std::size_t n_;
  double nf_;
  std::vector<double> v_;
};

// True range of row t (t > s) for every column; NaN on rows up to a column's start.
void true_range_row(std::size_t t, const std::vector<std::size_t> &s, View h, View l, View c,
                    double *tr) {
  for (std::size_t j = 0; j < s.size(); ++j)
    tr[j] = (s[j] != kNone && t > s[j]) ? true_range(h[t][j], l[t][j], c[t - 1][j]) : kNaN;
}

// +DI and -DI of a run of columns, one row at a time.
struct Directional {
  Directional(View h, View l, View c, std::size_t rows, std::size_t width, std::size_t n)
      : h_(h), l_(l), c_(c), s(first_finite(c, rows, width)), pdi(width), mdi(width), tr_(width),
        pdm_(width), mdm_(width), str_(width), spdm_(width), smdm_(width), wtr_(width, n),
        wpdm_(width, n), wmdm_(width, n) {}

  // Fills pdi and mdi for row t; rows must come in ascending order from 0.
  void step(std::size_t t) {
    true_range_row(t, s, h_, l_, c_, tr_.data());
    for (std::size_t j = 0; j < s.size(); ++j) {
      pdm_[j] = mdm_[j] = kNaN;
      if (s[j] == kNone || t <= s[j])
        continue;
      const double up = h_[t][j] - h_[t - 1][j];
      const double down = l_[t - 1][j] - l_[t][j];
      // A NaN move fails every comparison, so both movements come out 0.0.
      pdm_[j] = (up > down && up > 0.0) ? up : 0.0;
      mdm_[j] = (down > up && down > 0.0) ? down : 0.0;
    }
    wtr_.step(t, s.data(), tr_.data(), str_.data());
    wpdm_.step(t, s.data(), pdm_.data(), spdm_.data());
    wmdm_.step(t, s.data(), mdm_.data(), smdm_.data());
    for (std::size_t j = 0; j < s.size(); ++j) {
      const double tr = str_[j];
      const bool ok = finite(tr) && tr != 0.0;
      pdi[j] = ok ? spdm_[j] * 100.0 / tr : kNaN;
      mdi[j] = ok ? smdm_[j] * 100.0 / tr : kNaN;
    }
  }

  View h_, l_, c_;
  const std::vector<std::size_t> s; // start row per column
  std::vector<double> pdi, mdi;     // of the last row stepped
  std::vector<double> tr_, pdm_, mdm_, str_, spdm_, smdm_;
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

// acc[j] = sum over rows t-n+1 .. t of row(i)[j], from +0.0 in ascending row order.
template <class RowOf>
void window_sum(std::size_t t, std::size_t n, std::size_t width, RowOf row, double *acc) {
  std::fill(acc, acc + width, 0.0);
  for (std::size_t i = t + 1 - n; i <= t; ++i) {
    const double *r = row(i);
    for (std::size_t j = 0; j < width; ++j)
      acc[j] += r[j];
  }
}

// Williams %R and %K: value(hh, ll, close) where the n-row high and low and close are finite and
// the range is not empty.
template <class Fn>
Result<Panel> range_position(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                             Fn value) {
  if (auto ok = check_covers(close, {{high, "high"}, {low, "low"}}); !ok)
    return util::unexpected(std::move(ok.error()));
  const Panel hh = high.rolling_max(n);
  const Panel ll = low.rolling_min(n);
  Panel out(close.dates, close.symbols);
  const View vh(hh.data), vl(ll.data), vc(close.data);
  const OutView o(out.data);
  for (std::size_t t = 0; t < close.rows(); ++t) {
    for (std::size_t j = 0; j < close.cols(); ++j) {
      const double h = vh[t][j];
      const double l = vl[t][j];
      const double c = vc[t][j];
      if (finite(h) && finite(l) && h != l && finite(c))
        o[t][j] = value(h, l, c);
    }
  }
  return out;
}

} // namespace

std::vector<double> wilder_col(const std::vector<double> &x, std::size_t start, std::size_t n) {
  std::vector<double> out(x.size());
  Wilder w(1, n);
  for (std::size_t t = 0; t < x.size(); ++t)
    w.step(t, &start, &x[t], &out[t]);
  return out;
}

Result<Panel> atr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  if (auto ok = check_covers(close, {{high, "high"}, {low, "low"}}); !ok)
    return util::unexpected(std::move(ok.error()));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  const View h(high.data), l(low.data), c(close.data);
  const OutView o(out.data);
  const auto s = first_finite(c, rows, cols);
  std::vector<double> tr(cols);
  Wilder w(cols, n);
  for (std::size_t t = 0; t < rows; ++t) {
    true_range_row(t, s, h, l, c, tr.data());
    w.step(t, s.data(), tr.data(), o[t]);
  }
  return out;
}

Result<Panel> natr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  auto res = atr(high, low, close, n);
  if (!res)
    return res;
  const View c(close.data);
  const OutView a(res->data);
  for (std::size_t t = 0; t < close.rows(); ++t) {
    for (std::size_t j = 0; j < close.cols(); ++j) {
      double &v = a[t][j];
      v = (finite(v) && c[t][j] != 0.0) ? (v * 100.0) / c[t][j] : kNaN;
    }
  }
  return res;
}

Result<Panel> cci(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  if (auto ok = check_covers(close, {{high, "high"}, {low, "low"}}); !ok)
    return util::unexpected(std::move(ok.error()));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  if (n == 0 || n > rows)
    return out;
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
    if (!any)
      continue;
    window_sum(t, n, cols, tp_row, mean.data());
    for (std::size_t j = 0; j < cols; ++j)
      mean[j] = mean[j] / nf;
    std::fill(dev.begin(), dev.end(), 0.0);
    for (std::size_t i = t + 1 - n; i <= t; ++i) {
      const double *r = tp.row(i);
      for (std::size_t j = 0; j < cols; ++j)
        dev[j] += std::abs(r[j] - mean[j]);
    }
    for (std::size_t j = 0; j < cols; ++j) {
      const double md = dev[j] / nf;
      if (run[j] >= n && md != 0.0)
        o[t][j] = (p[j] - mean[j]) / (md * 0.015);
    }
  }
  return out;
}

Result<Panel> willr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  return range_position(high, low, close, n, [](double hh, double ll, double c) {
    return (hh - c) * -100.0 / (hh - ll);
  });
}

Result<Panel> stoch_k(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  return range_position(high, low, close, n, [](double hh, double ll, double c) {
    return (c - ll) * 100.0 / (hh - ll);
  });
}

Result<Panel> stoch_d(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                      std::size_t d) {
  auto k = stoch_k(high, low, close, n);
  if (!k)
    return k;
  const std::size_t rows = k->rows();
  const std::size_t cols = k->cols();
  Panel out(k->dates, k->symbols);
  if (d == 0 || d > rows)
    return out;
  const View x(k->data);
  const OutView o(out.data);
  const double df = static_cast<double>(d);
  std::vector<std::size_t> run(cols, 0);
  std::vector<double> sum(cols);
  for (std::size_t t = 0; t < rows; ++t) {
    bool any = false;
    for (std::size_t j = 0; j < cols; ++j) {
      run[j] = finite(x[t][j]) ? run[j] + 1 : 0;
      any = any || run[j] >= d;
    }
    // d finite values of %K in a row never reach above %K's first finite row.
    if (!any)
      continue;
    window_sum(
        t, d, cols, [&](std::size_t i) { return x[i]; }, sum.data());
    for (std::size_t j = 0; j < cols; ++j)
      if (run[j] >= d)
        o[t][j] = sum[j] / df;
  }
  return out;
}

Panel aroon_dir(const Panel &x, std::size_t n, bool up) {
  const std::size_t rows = x.rows();
  const std::size_t cols = x.cols();
  Panel out(x.dates, x.symbols);
  if (n == 0 || n >= rows)
    return out;
  const View v(x.data);
  const OutView o(out.data);
  const double nf = static_cast<double>(n);
  // Ties go to the later row: a cell equal to the running extreme takes over.
  auto takes_over = [up](double cell, double best) { return up ? cell >= best : cell <= best; };
  std::vector<std::size_t> run(cols, 0);
  std::vector<std::size_t> best(cols, kNone); // row of the current window's extreme
  for (std::size_t t = 0; t < rows; ++t) {
    for (std::size_t j = 0; j < cols; ++j) {
      run[j] = finite(v[t][j]) ? run[j] + 1 : 0;
      // The window holds n + 1 cells, all finite, so it starts at or after the start row.
      if (run[j] <= n) {
        best[j] = kNone;
        continue;
      }
      const std::size_t lo = t - n;
      std::size_t &b = best[j];
      if (b == kNone || b < lo) {
        b = lo;
        for (std::size_t i = lo + 1; i <= t; ++i)
          if (takes_over(v[i][j], v[b][j]))
            b = i;
      } else if (takes_over(v[t][j], v[b][j])) {
        b = t;
      }
      o[t][j] = static_cast<double>(n - (t - b)) * 100.0 / nf;
    }
  }
  return out;
}

Result<Panel> obv(const Panel &close, const Panel &volume) {
  if (auto ok = check_covers(close, {{volume, "volume"}}); !ok)
    return util::unexpected(std::move(ok.error()));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  const View c(close.data), v(volume.data);
  const OutView o(out.data);
  const auto s = first_finite(c, rows, cols);
  std::vector<double> total(cols);
  for (std::size_t t = 0; t < rows; ++t) {
    for (std::size_t j = 0; j < cols; ++j) {
      if (s[j] == kNone || t < s[j])
        continue;
      if (t == s[j]) {
        total[j] = v[t][j];
      } else {
        // Adding -0.0 leaves every total as it is; the table lookup keeps rises and falls off
        // the branch predictor.
        const double diff = c[t][j] - c[t - 1][j];
        const double step[3] = {-0.0, v[t][j], -v[t][j]};
        total[j] += step[int{diff > 0.0} + 2 * int{diff < 0.0}];
      }
      o[t][j] = total[j];
    }
  }
  return out;
}

Result<Panel> mfi(const Panel &high, const Panel &low, const Panel &close, const Panel &volume,
                  std::size_t n) {
  if (auto ok = check_covers(close, {{high, "high"}, {low, "low"}, {volume, "volume"}}); !ok)
    return util::unexpected(std::move(ok.error()));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  if (n >= rows)
    return out;
  const View h(high.data), l(low.data), c(close.data), v(volume.data);
  const OutView o(out.data);
  const auto s = first_finite(c, rows, cols);
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
      if (s[j] == kNone || t < s[j])
        continue;
      if (t > s[j]) {
        // Equal or NaN typical prices keep both flows at 0.0; lookups instead of branches.
        const double pick[2] = {0.0, v[t][j] * tp[j]};
        pr[j] = pick[tp[j] > prev_tp[j]];
        nr[j] = pick[tp[j] < prev_tp[j]];
      }
      any = any || t - s[j] >= n;
    }
    std::swap(tp, prev_tp);
    // Windows end at s + n or later, so they start after s.
    if (!any)
      continue;
    if (n == 0) {
      std::fill(p.begin(), p.end(), 0.0);
      std::fill(m.begin(), m.end(), 0.0);
    } else {
      window_sum(t, n, cols, pos_row, p.data());
      window_sum(t, n, cols, neg_row, m.data());
    }
    for (std::size_t j = 0; j < cols; ++j)
      if (s[j] != kNone && t >= s[j] && t - s[j] >= n)
        o[t][j] = m[j] == 0.0 ? 100.0 : 100.0 - 100.0 / (p[j] / m[j] + 1.0);
  }
  return out;
}

Result<Panel> vwap(const Panel &high, const Panel &low, const Panel &close, const Panel &volume,
                   std::size_t n) {
  if (auto ok = check_covers(close, {{high, "high"}, {low, "low"}, {volume, "volume"}}); !ok)
    return util::unexpected(std::move(ok.error()));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  if (n == 0 || n > rows)
    return out;
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
    if (!any)
      continue;
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
    for (std::size_t j = 0; j < cols; ++j)
      if (run[j] >= n && den[j] != 0.0)
        o[t][j] = num[j] / den[j];
  }
  return out;
}

Result<std::pair<std::vector<double>, std::vector<double>>>
di_cols(const Panel &high, const Panel &low, const Panel &close, std::size_t col, std::size_t n) {
  if (auto ok = check_covers(close, {{high, "high"}, {low, "low"}}); !ok)
    return util::unexpected(std::move(ok.error()));
  const std::size_t rows = close.rows();
  std::vector<double> plus(rows, kNaN), minus(rows, kNaN);
  if (col >= close.cols() || rows == 0)
    return std::pair{std::move(plus), std::move(minus)};
  Directional di(View(high.data, col), View(low.data, col), View(close.data, col), rows, 1, n);
  for (std::size_t t = 0; t < rows; ++t) {
    di.step(t);
    plus[t] = di.pdi[0];
    minus[t] = di.mdi[0];
  }
  return std::pair{std::move(plus), std::move(minus)};
}

Result<Panel> di_panel(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                       bool plus) {
  if (auto ok = check_covers(close, {{high, "high"}, {low, "low"}}); !ok)
    return util::unexpected(std::move(ok.error()));
  Panel out(close.dates, close.symbols);
  const OutView o(out.data);
  Directional di(View(high.data), View(low.data), View(close.data), close.rows(), close.cols(), n);
  const std::vector<double> &side = plus ? di.pdi : di.mdi;
  for (std::size_t t = 0; t < close.rows(); ++t) {
    di.step(t);
    std::copy(side.begin(), side.end(), o[t]);
  }
  return out;
}

Result<Panel> adx(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  if (auto ok = check_covers(close, {{high, "high"}, {low, "low"}}); !ok)
    return util::unexpected(std::move(ok.error()));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  if (n == 0 || n > rows)
    return out;
  const OutView o(out.data);
  Directional di(View(high.data), View(low.data), View(close.data), rows, cols, n);
  // DX is smoothed from the row before the first directional values.
  std::vector<std::size_t> start(cols, kNone);
  for (std::size_t j = 0; j < cols; ++j)
    if (di.s[j] != kNone)
      start[j] = di.s[j] + n - 1;
  std::vector<double> dx(cols);
  Wilder w(cols, n);
  for (std::size_t t = 0; t < rows; ++t) {
    di.step(t);
    for (std::size_t j = 0; j < cols; ++j) {
      const double p = di.pdi[j];
      const double m = di.mdi[j];
      dx[j] = kNaN;
      if (finite(p) && finite(m)) {
        const double sum = p + m;
        dx[j] = sum == 0.0 ? 0.0 : std::abs(p - m) * 100.0 / sum;
      }
    }
    w.step(t, start.data(), dx.data(), o[t]);
  }
  return out;
}

} // namespace zorv::ta
