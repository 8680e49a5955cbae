#include "core/ops/ta.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

namespace zorv::ta {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool finite(double x) { return std::isfinite(x); }

struct Input {
  const Panel &panel;
  const char *name;
};

std::array<Input, 3> hlc(const Panel &high, const Panel &low, const Panel &close) {
  return {{{high, "high"}, {low, "low"}, {close, "close"}}};
}

std::array<Input, 4> hlcv(const Panel &high, const Panel &low, const Panel &close,
                          const Panel &volume) {
  return {{{high, "high"}, {low, "low"}, {close, "close"}, {volume, "volume"}}};
}

// The inputs are read at close's positions, so each must cover close's grid.
template <std::size_t K>
Result<void> check_covers(const Panel &close, const std::array<Input, K> &inputs) {
  for (const Input &in : inputs)
    if (in.panel.rows() < close.rows() || in.panel.cols() < close.cols())
      return eval_error(std::string(in.name) + " panel is smaller than close");
  return {};
}

// Columns are gathered kBlock at a time: neighbouring columns share cache lines of the row-major
// matrix, so a block reads each line once instead of once per column.
constexpr std::size_t kBlock = 8;

// Runs fn(columns, out) for each column of close, into a new panel on close's grid: columns[k]
// points at that column of inputs[k] (its first close.rows() cells, contiguous) and out at the
// output column, all NaN on entry.
template <std::size_t K, class Fn>
Result<Panel> by_column(const Panel &close, const std::array<Input, K> &inputs, Fn &&fn) {
  if (auto ok = check_covers(close, inputs); !ok)
    return util::unexpected(std::move(ok.error()));
  const std::size_t rows = close.rows();
  const std::size_t cols = close.cols();
  Panel out(close.dates, close.symbols);
  std::vector<double> ibuf(K * kBlock * rows);
  std::vector<double> obuf(kBlock * rows);
  std::array<const double *, K> colp{};
  for (std::size_t j0 = 0; j0 < cols; j0 += kBlock) {
    const std::size_t w = std::min(kBlock, cols - j0);
    for (std::size_t k = 0; k < K; ++k) {
      const Matrix &m = inputs[k].panel.data;
      const auto stride = static_cast<std::size_t>(m.cols());
      const double *src = m.data() + j0;
      double *dst = ibuf.data() + k * kBlock * rows;
      for (std::size_t t = 0; t < rows; ++t)
        for (std::size_t b = 0; b < w; ++b)
          dst[b * rows + t] = src[t * stride + b];
    }
    std::fill(obuf.begin(), obuf.end(), kNaN);
    for (std::size_t b = 0; b < w; ++b) {
      for (std::size_t k = 0; k < K; ++k)
        colp[k] = ibuf.data() + (k * kBlock + b) * rows;
      fn(colp, obuf.data() + b * rows);
    }
    double *dst = out.data.data() + j0;
    for (std::size_t t = 0; t < rows; ++t)
      for (std::size_t b = 0; b < w; ++b)
        dst[t * cols + b] = obuf[b * rows + t];
  }
  return out;
}

std::size_t first_finite(const double *x, std::size_t len) {
  std::size_t i = 0;
  while (i < len && !finite(x[i]))
    ++i;
  return i;
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

// tr[t] for t > s; rows up to s have none.
void true_range_col(const double *h, const double *l, const double *c, std::size_t len,
                    std::size_t s, double *tr) {
  std::fill(tr, tr + std::min(s + 1, len), kNaN);
  for (std::size_t t = s + 1; t < len; ++t)
    tr[t] = true_range(h[t], l[t], c[t - 1]);
}

void wilder(const double *x, std::size_t len, std::size_t start, std::size_t n, double *out) {
  std::fill(out, out + len, kNaN);
  if (n == 0 || start >= len || n >= len - start)
    return;
  const double nf = static_cast<double>(n);
  double sum = 0.0;
  for (std::size_t i = start + 1; i <= start + n; ++i)
    sum += x[i];
  double v = sum / nf;
  out[start + n] = v;
  for (std::size_t i = start + n + 1; i < len; ++i) {
    v = (v * (nf - 1.0) + x[i]) / nf;
    out[i] = v;
  }
}

// Working lists of the directional indicators, one entry per row, reused across columns.
struct DiWork {
  std::vector<double> tr, pdm, mdm, str, spdm, smdm, pdi, mdi;
  explicit DiWork(std::size_t rows)
      : tr(rows), pdm(rows), mdm(rows), str(rows), spdm(rows), smdm(rows), pdi(rows), mdi(rows) {}
};

// Fills w.pdi and w.mdi for one column; returns the start row (len when there is none).
std::size_t di_column(const double *h, const double *l, const double *c, std::size_t len,
                      std::size_t n, DiWork &w) {
  std::fill(w.pdi.begin(), w.pdi.end(), kNaN);
  std::fill(w.mdi.begin(), w.mdi.end(), kNaN);
  const std::size_t s = first_finite(c, len);
  if (s == len)
    return s;
  true_range_col(h, l, c, len, s, w.tr.data());
  std::fill(w.pdm.begin(), w.pdm.begin() + static_cast<std::ptrdiff_t>(s + 1), kNaN);
  std::fill(w.mdm.begin(), w.mdm.begin() + static_cast<std::ptrdiff_t>(s + 1), kNaN);
  for (std::size_t t = s + 1; t < len; ++t) {
    const double up = h[t] - h[t - 1];
    const double down = l[t - 1] - l[t];
    // A NaN move fails every comparison, so both movements come out 0.0.
    w.pdm[t] = (up > down && up > 0.0) ? up : 0.0;
    w.mdm[t] = (down > up && down > 0.0) ? down : 0.0;
  }
  wilder(w.tr.data(), len, s, n, w.str.data());
  wilder(w.pdm.data(), len, s, n, w.spdm.data());
  wilder(w.mdm.data(), len, s, n, w.smdm.data());
  for (std::size_t t = 0; t < len; ++t) {
    const double tr = w.str[t];
    if (finite(tr) && tr != 0.0) {
      w.pdi[t] = w.spdm[t] * 100.0 / tr;
      w.mdi[t] = w.smdm[t] * 100.0 / tr;
    }
  }
  return s;
}

// Williams %R and %K: value(hh, ll, close) where the n-row high and low and close are finite and
// the range is not empty.
template <class Fn>
Result<Panel> range_position(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                             Fn value) {
  if (auto ok = check_covers(close, hlc(high, low, close)); !ok)
    return util::unexpected(std::move(ok.error()));
  const Panel hh = high.rolling_max(n);
  const Panel ll = low.rolling_min(n);
  Panel out(close.dates, close.symbols);
  const auto rows = static_cast<Eigen::Index>(close.rows());
  const auto cols = static_cast<Eigen::Index>(close.cols());
  for (Eigen::Index t = 0; t < rows; ++t) {
    for (Eigen::Index j = 0; j < cols; ++j) {
      const double h = hh.data(t, j);
      const double l = ll.data(t, j);
      const double c = close.data(t, j);
      if (finite(h) && finite(l) && h != l && finite(c))
        out.data(t, j) = value(h, l, c);
    }
  }
  return out;
}

} // namespace

std::vector<double> wilder_col(const std::vector<double> &x, std::size_t start, std::size_t n) {
  std::vector<double> out(x.size());
  wilder(x.data(), x.size(), start, n, out.data());
  return out;
}

Result<Panel> atr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  const std::size_t rows = close.rows();
  std::vector<double> tr(rows);
  return by_column(close, hlc(high, low, close), [&](const auto &in, double *o) {
    const std::size_t s = first_finite(in[2], rows);
    if (s == rows)
      return;
    true_range_col(in[0], in[1], in[2], rows, s, tr.data());
    wilder(tr.data(), rows, s, n, o);
  });
}

Result<Panel> natr(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  auto res = atr(high, low, close, n);
  if (!res)
    return res;
  Matrix &a = res->data;
  const auto rows = a.rows();
  const auto cols = a.cols();
  for (Eigen::Index t = 0; t < rows; ++t) {
    for (Eigen::Index j = 0; j < cols; ++j) {
      const double c = close.data(t, j);
      double &v = a(t, j);
      v = (finite(v) && c != 0.0) ? (v * 100.0) / c : kNaN;
    }
  }
  return res;
}

Result<Panel> cci(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  const std::size_t rows = close.rows();
  const double nf = static_cast<double>(n);
  std::vector<double> tp(rows);
  return by_column(close, hlc(high, low, close), [&](const auto &in, double *o) {
    if (n == 0)
      return;
    // A finite typical price needs a finite close, so a window of n finite typical prices never
    // reaches above the start row.
    std::size_t run = 0;
    for (std::size_t t = first_finite(in[2], rows); t < rows; ++t) {
      tp[t] = typical(in[0][t], in[1][t], in[2][t]);
      run = finite(tp[t]) ? run + 1 : 0;
      if (run < n)
        continue;
      const std::size_t lo = t + 1 - n;
      double sum = 0.0;
      for (std::size_t i = lo; i <= t; ++i)
        sum += tp[i];
      const double mean = sum / nf;
      double dev = 0.0;
      for (std::size_t i = lo; i <= t; ++i)
        dev += std::abs(tp[i] - mean);
      const double md = dev / nf;
      if (md != 0.0)
        o[t] = (tp[t] - mean) / (md * 0.015);
    }
  });
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
  const double df = static_cast<double>(d);
  return by_column<1>(*k, {{{*k, "%K"}}}, [&](const auto &in, double *o) {
    const double *x = in[0];
    if (d == 0)
      return;
    // d finite values of %K in a row cannot reach above %K's first finite row.
    std::size_t run = 0;
    for (std::size_t t = first_finite(x, rows); t < rows; ++t) {
      run = finite(x[t]) ? run + 1 : 0;
      if (run < d)
        continue;
      double sum = 0.0;
      for (std::size_t i = t + 1 - d; i <= t; ++i)
        sum += x[i];
      o[t] = sum / df;
    }
  });
}

Panel aroon_dir(const Panel &x, std::size_t n, bool up) {
  const std::size_t rows = x.rows();
  const double nf = static_cast<double>(n);
  // Ties go to the later row: a cell equal to the running extreme takes over.
  auto takes_over = [up](double cell, double best) { return up ? cell >= best : cell <= best; };
  auto res = by_column<1>(x, {{{x, "series"}}}, [&](const auto &in, double *o) {
    const double *v = in[0];
    if (n == 0)
      return;
    std::size_t run = 0;
    std::size_t best = rows; // row of the current window's extreme; rows when unknown
    for (std::size_t t = first_finite(v, rows); t < rows; ++t) {
      run = finite(v[t]) ? run + 1 : 0;
      if (run <= n) { // the window holds n + 1 cells, all finite
        best = rows;
        continue;
      }
      const std::size_t lo = t - n;
      if (best == rows || best < lo) {
        best = lo;
        for (std::size_t i = lo + 1; i <= t; ++i)
          if (takes_over(v[i], v[best]))
            best = i;
      } else if (takes_over(v[t], v[best])) {
        best = t;
      }
      o[t] = static_cast<double>(n - (t - best)) * 100.0 / nf;
    }
  });
  // The one input covers its own grid.
  return std::move(*res);
}

Result<Panel> obv(const Panel &close, const Panel &volume) {
  const std::size_t rows = close.rows();
  return by_column<2>(close, {{{close, "close"}, {volume, "volume"}}},
                      [&](const auto &in, double *o) {
                        const double *c = in[0];
                        const double *v = in[1];
                        const std::size_t s = first_finite(c, rows);
                        if (s == rows)
                          return;
                        double total = v[s];
                        o[s] = total;
                        for (std::size_t t = s + 1; t < rows; ++t) {
                          const double diff = c[t] - c[t - 1];
                          if (diff > 0.0)
                            total += v[t];
                          else if (diff < 0.0)
                            total -= v[t];
                          o[t] = total;
                        }
                      });
}

Result<Panel> mfi(const Panel &high, const Panel &low, const Panel &close, const Panel &volume,
                  std::size_t n) {
  const std::size_t rows = close.rows();
  std::vector<double> tp(rows), pos(rows), neg(rows);
  return by_column(close, hlcv(high, low, close, volume), [&](const auto &in, double *o) {
    const std::size_t s = first_finite(in[2], rows);
    if (s == rows || n >= rows - s)
      return;
    for (std::size_t t = s; t < rows; ++t)
      tp[t] = typical(in[0][t], in[1][t], in[2][t]);
    for (std::size_t t = s + 1; t < rows; ++t) {
      const double flow = in[3][t] * tp[t];
      pos[t] = tp[t] > tp[t - 1] ? flow : 0.0;
      neg[t] = tp[t] < tp[t - 1] ? flow : 0.0;
    }
    // Windows end at s + n or later, so they start after s.
    for (std::size_t t = s + n; t < rows; ++t) {
      double p = 0.0;
      double m = 0.0;
      for (std::size_t i = t + 1 - n; i <= t; ++i)
        p += pos[i];
      for (std::size_t i = t + 1 - n; i <= t; ++i)
        m += neg[i];
      o[t] = m == 0.0 ? 100.0 : 100.0 - 100.0 / (p / m + 1.0);
    }
  });
}

Result<Panel> vwap(const Panel &high, const Panel &low, const Panel &close, const Panel &volume,
                   std::size_t n) {
  const std::size_t rows = close.rows();
  std::vector<double> tp(rows);
  return by_column(close, hlcv(high, low, close, volume), [&](const auto &in, double *o) {
    const double *v = in[3];
    if (n == 0)
      return;
    // As in cci, finite typical prices keep the window at or after the start row.
    std::size_t run = 0;
    for (std::size_t t = first_finite(in[2], rows); t < rows; ++t) {
      tp[t] = typical(in[0][t], in[1][t], in[2][t]);
      run = (finite(tp[t]) && finite(v[t])) ? run + 1 : 0;
      if (run < n)
        continue;
      double num = 0.0;
      double den = 0.0;
      for (std::size_t i = t + 1 - n; i <= t; ++i) {
        num += tp[i] * v[i];
        den += v[i];
      }
      if (den != 0.0)
        o[t] = num / den;
    }
  });
}

Result<std::pair<std::vector<double>, std::vector<double>>>
di_cols(const Panel &high, const Panel &low, const Panel &close, std::size_t col, std::size_t n) {
  if (auto ok = check_covers(close, hlc(high, low, close)); !ok)
    return util::unexpected(std::move(ok.error()));
  const std::size_t rows = close.rows();
  DiWork w(rows);
  if (col >= close.cols())
    return std::pair{std::vector<double>(rows, kNaN), std::vector<double>(rows, kNaN)};
  std::vector<double> h(rows), l(rows), c(rows);
  const auto j = static_cast<Eigen::Index>(col);
  for (std::size_t t = 0; t < rows; ++t) {
    const auto r = static_cast<Eigen::Index>(t);
    h[t] = high.data(r, j);
    l[t] = low.data(r, j);
    c[t] = close.data(r, j);
  }
  di_column(h.data(), l.data(), c.data(), rows, n, w);
  return std::pair{std::move(w.pdi), std::move(w.mdi)};
}

Result<Panel> di_panel(const Panel &high, const Panel &low, const Panel &close, std::size_t n,
                       bool plus) {
  const std::size_t rows = close.rows();
  DiWork w(rows);
  const std::vector<double> &di = plus ? w.pdi : w.mdi;
  return by_column(close, hlc(high, low, close), [&](const auto &in, double *o) {
    di_column(in[0], in[1], in[2], rows, n, w);
    std::copy(di.begin(), di.end(), o);
  });
}

Result<Panel> adx(const Panel &high, const Panel &low, const Panel &close, std::size_t n) {
  const std::size_t rows = close.rows();
  DiWork w(rows);
  std::vector<double> dx(rows);
  return by_column(close, hlc(high, low, close), [&](const auto &in, double *o) {
    if (n == 0)
      return;
    const std::size_t s = di_column(in[0], in[1], in[2], rows, n, w);
    if (s == rows || n > rows - s)
      return;
    for (std::size_t t = 0; t < rows; ++t) {
      const double p = w.pdi[t];
      const double m = w.mdi[t];
      dx[t] = kNaN;
      if (finite(p) && finite(m)) {
        const double sum = p + m;
        dx[t] = sum == 0.0 ? 0.0 : std::abs(p - m) * 100.0 / sum;
      }
    }
    wilder(dx.data(), rows, s + n - 1, n, o);
  });
}

} // namespace zorv::ta
