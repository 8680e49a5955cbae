#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/ops/grid.hpp"
#include "core/ops/kernel.hpp"
#include "core/ops/rolling.hpp"
#include "core/panel.hpp"

namespace zorv {

namespace {

using ops::finite;
using ops::kNaN;
using ops::kNone;

// (now - then) / then, as a kernel for ops::PacketFn.
struct ChangeRatio {
  double operator()(double now, double then) const { return (now - then) / then; }
  template <class P> P packet(const P &now, const P &then) const {
    return Eigen::internal::pdiv(Eigen::internal::psub(now, then), then);
  }
};

// acc + x (Count: acc + 1), where x is no NaN; acc itself where it is. A kernel for ops::PacketFn.
template <bool Count> struct AddPresent {
  double operator()(double acc, double x) const { return acc + (x != x ? 0.0 : (Count ? 1.0 : x)); }
  template <class P> P packet(const P &acc, const P &x) const {
    const P present = Eigen::internal::pcmp_eq(x, x);
    const P v = Count ? Eigen::internal::pset1<P>(1.0) : x;
    return Eigen::internal::padd(acc, Eigen::internal::pand(present, v));
  }
};

// sum / count where count reaches the minimum, else sum / NaN (NaN). A kernel for ops::PacketFn.
struct MeanOfEnough {
  double min_count;
  double operator()(double sum, double count) const {
    return sum / (count >= min_count ? count : kNaN);
  }
  template <class P> P packet(const P &sum, const P &count) const {
    const P enough = Eigen::internal::pcmp_le(Eigen::internal::pset1<P>(min_count), count);
    return Eigen::internal::pdiv(
        sum, Eigen::internal::pselect(enough, count, Eigen::internal::pset1<P>(kNaN)));
  }
};

// Rolling extreme over n rows of every column, rows streamed through ops::RollingExtreme.
template <bool Max> Matrix rolling_extreme(const Matrix &in, std::size_t n) {
  const auto R = static_cast<std::size_t>(in.rows());
  const auto C = static_cast<std::size_t>(in.cols());
  Matrix out = uninit_matrix(in.rows(), in.cols());
  if (n == 0 || n > R || C == 0) {
    out.setConstant(kNaN);
    return out;
  }
  ops::RollingExtreme<Max> extreme(ops::View(in), C, n);
  double *y = out.data();
  for (std::size_t t = 0; t < R; ++t) {
    double *yr = y + t * C;
    if (!extreme.step(t, yr)) {
      std::fill(yr, yr + C, kNaN);
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
  // Found as the walk goes: a row is fed once the walk has read it, so that its cells are in
  // cache, and each column that starts there then takes its first step.
  ops::FirstFinite first(C);
  const std::vector<std::size_t> &start = first.start();
  for (std::size_t t = 0; t < R; ++t) {
    const double *xr = x + t * C;
    double *yr = y + t * C;
    for (std::size_t c = 0; c < C; ++c) {
      if (t < start[c]) { // kNone included
        continue;
      }
      step(c, t - start[c], t > 0 ? (xr - C)[c] : kNaN, xr[c], yr[c]);
    }
    if (!first.done()) {
      first.feed(t, xr,
                 [&](std::size_t c) { step(c, 0, t > 0 ? (xr - C)[c] : kNaN, xr[c], yr[c]); });
    }
  }
  return out;
}

} // namespace

Panel Panel::pct_change(std::size_t n) const {
  if (ops::grid_is_canonical(*this)) {
    return ops::zip_with_lag(*this, n, ChangeRatio{});
  }
  const Panel lagged = shift(n);
  return sub(lagged).div(lagged);
}

Panel Panel::rise(std::size_t n) const {
  if (ops::grid_is_canonical(*this)) {
    return ops::zip_with_lag(*this, n, ops::BinKernel<BinOp::Gt>{});
  }
  return gt(shift(n));
}

Panel Panel::fall(std::size_t n) const {
  if (ops::grid_is_canonical(*this)) {
    return ops::zip_with_lag(*this, n, ops::BinKernel<BinOp::Lt>{});
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

namespace {

namespace pk = Eigen::internal;

// One row t of Wilder's smoothing across the columns, f[c] being column c's first value row (as a
// double). Columns past f[c] take the steady update; a column at f[c] writes its seed value, whose
// averages g and l already hold; the rest write NaN and keep their state. Branch-free, so whole
// packets of columns advance together; every cell sees the operations of the scalar form.
struct RsiRow {
  double nd;
  double keep; // n - 1
  template <class P> static P value(const P &g, const P &l) {
    const P hundred = pk::pset1<P>(100.0);
    const P v = pk::psub(hundred, pk::pdiv(hundred, pk::padd(pk::pdiv(g, l), pk::pset1<P>(1.0))));
    return pk::pselect(pk::pcmp_eq(l, pk::pzero(l)), hundred, v);
  }
  static double value(double g, double l) {
    return l == 0.0 ? 100.0 : 100.0 - 100.0 / (g / l + 1.0);
  }
  template <class P>
  void packet(const double *x, const double *xp, const double *f, const double *seed, double td,
              double *g, double *l, double *y) const {
    const P zero = pk::pset1<P>(0.0);
    P d = pk::psub(pk::ploadu<P>(x), pk::ploadu<P>(xp));
    d = pk::pselect(pk::pcmp_le(pk::pabs(d), pk::pset1<P>(std::numeric_limits<double>::max())), d,
                    zero);
    const P gain = pk::pselect(pk::pcmp_lt(zero, d), d, zero);
    const P loss = pk::pselect(pk::pcmp_le(d, zero), pk::pnegate(d), zero);
    const P g0 = pk::ploadu<P>(g);
    const P l0 = pk::ploadu<P>(l);
    const P vnd = pk::pset1<P>(nd);
    const P vkeep = pk::pset1<P>(keep);
    const P g1 = pk::pdiv(pk::padd(pk::pmul(g0, vkeep), gain), vnd);
    const P l1 = pk::pdiv(pk::padd(pk::pmul(l0, vkeep), loss), vnd);
    const P fv = pk::ploadu<P>(f);
    const P vt = pk::pset1<P>(td);
    const P steady = pk::pcmp_lt(fv, vt);
    const P at_seed = pk::pcmp_eq(fv, vt);
    pk::pstoreu(g, pk::pselect(steady, g1, g0));
    pk::pstoreu(l, pk::pselect(steady, l1, l0));
    const P other = pk::pselect(at_seed, pk::ploadu<P>(seed), pk::pset1<P>(kNaN));
    pk::pstoreu(y, pk::pselect(steady, value(g1, l1), other));
  }
  void cell(double x, double xp, double f, double seed, double td, double &g, double &l,
            double &y) const {
    double d = x - xp;
    d = finite(d) ? d : 0.0;
    const double gain = d > 0 ? d : 0.0;
    const double loss = d <= 0 ? -d : 0.0;
    if (f < td) {
      g = (g * keep + gain) / nd;
      l = (l * keep + loss) / nd;
      y = value(g, l);
    } else {
      y = f == td ? seed : kNaN;
    }
  }
};

} // namespace

Panel Panel::rsi(std::size_t n) const {
  const auto R = rows();
  const auto C = cols();
  if (n == 0 || R == 0 || C == 0) {
    return Panel(dates, symbols);
  }
  const double *x = data.data();
  const std::vector<std::size_t> start = ops::first_finite(ops::View(data), R, C);
  // The seed averages, walked down each column apart: they cover only n + 1 rows per column.
  // first[c] is the row of the column's first value as a double (exact: rows are far below
  // 2^53), +inf for a column that never gets one.
  const double nd = static_cast<double>(n);
  std::vector<double> first(C, ops::kInf), seed(C, kNaN), g(C, 0.0), l(C, 0.0);
  for (std::size_t c = 0; c < C; ++c) {
    const std::size_t s = start[c];
    if (s == kNone || n >= R - s) {
      continue;
    }
    double gs = 0.0;
    double ls = 0.0;
    for (std::size_t k = 1; k <= n; ++k) {
      double d = x[(s + k) * C + c] - x[(s + k - 1) * C + c];
      d = finite(d) ? d : 0.0;
      const double gain = d > 0 ? d : 0.0;
      const double loss = d <= 0 ? -d : 0.0;
      if (k < n) {
        gs += gain;
        ls += loss;
      } else {
        gs = (gs + gain) / nd;
        ls = (ls + loss) / nd;
      }
    }
    g[c] = gs;
    l[c] = ls;
    seed[c] = RsiRow::value(gs, ls);
    first[c] = static_cast<double>(s + n);
  }

  Matrix out = uninit_matrix(data.rows(), data.cols());
  double *y = out.data();
  std::fill(y, y + C, kNaN); // no column has its first value before row 1
  const RsiRow row{nd, nd - 1.0};
  using P = pk::packet_traits<double>::type;
  constexpr std::size_t W = pk::packet_traits<double>::size;
  for (std::size_t t = 1; t < R; ++t) {
    const double *xr = x + t * C;
    const double *xp = xr - C;
    double *yr = y + t * C;
    const double td = static_cast<double>(t);
    std::size_t c = 0;
    for (; c + W <= C; c += W) {
      row.packet<P>(xr + c, xp + c, &first[c], &seed[c], td, &g[c], &l[c], yr + c);
    }
    for (; c < C; ++c) {
      row.cell(xr[c], xp[c], first[c], seed[c], td, g[c], l[c], yr[c]);
    }
  }
  return Panel(dates, symbols, std::move(out));
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
  // The kernels have no branches and vectorise; a count below the minimum divides by NaN.
  const auto finish = [&](double *yr) {
    ops::zip_into(sum, count, yr, C, MeanOfEnough{min_count});
  };
  // Sums start from +0.0 and so never hold -0.0: adding +0.0 in place of a NaN cell leaves
  // them unchanged.
  const auto add = [&](const double *xr) {
    ops::zip_into(sum, xr, sum, C, AddPresent<false>{});
    ops::zip_into(count, xr, count, C, AddPresent<true>{});
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

namespace {

// A cell's value as an unsigned key in the value's order: -0.0 and 0.0 share a key, so keys tie
// exactly where values compare equal (the cells carry no NaN). Descending flips every bit.
inline std::uint64_t order_key(double v, bool ascending) {
  const auto u = std::bit_cast<std::uint64_t>(v + 0.0); // -0.0 + 0.0 is +0.0
  const std::uint64_t key = (u >> 63) != 0 ? ~u : u | (std::uint64_t{1} << 63);
  return ascending ? key : ~key;
}

struct KeyedCell {
  std::uint64_t key;
  std::size_t col;
};

// Sorts cells by key (ties in any order): LSD radix on 11-bit digits, skipping the digits every
// key shares. `tmp` must be as long as `cells`. Short rows take a comparison sort.
void sort_by_key(std::vector<KeyedCell> &cells, std::vector<KeyedCell> &tmp) {
  const std::size_t m = cells.size();
  // Counts are 32-bit to keep the histograms small.
  if (m < 256 || m > std::numeric_limits<std::uint32_t>::max()) {
    std::sort(cells.begin(), cells.end(),
              [](const KeyedCell &a, const KeyedCell &b) { return a.key < b.key; });
    return;
  }
  constexpr unsigned kBits = 11;
  constexpr unsigned kPasses = (64 + kBits - 1) / kBits;
  constexpr std::uint64_t kMask = (std::uint64_t{1} << kBits) - 1;
  std::array<std::array<std::uint32_t, std::size_t{1} << kBits>, kPasses> counts{};
  for (const KeyedCell &e : cells) {
    for (unsigned b = 0; b < kPasses; ++b) {
      ++counts[b][(e.key >> (kBits * b)) & kMask];
    }
  }
  KeyedCell *src = cells.data();
  KeyedCell *dst = tmp.data();
  for (unsigned b = 0; b < kPasses; ++b) {
    auto &count = counts[b];
    if (count[(src[0].key >> (kBits * b)) & kMask] == m) {
      continue;
    }
    std::uint32_t sum = 0;
    for (auto &c : count) {
      const std::uint32_t here = c;
      c = sum;
      sum += here;
    }
    for (std::size_t i = 0; i < m; ++i) {
      dst[count[(src[i].key >> (kBits * b)) & kMask]++] = src[i];
    }
    std::swap(src, dst);
  }
  if (src != cells.data()) {
    std::copy(src, src + m, cells.data());
  }
}

} // namespace

Panel Panel::rank_cs(bool pct, bool ascending) const {
  const auto R = rows();
  const auto C = cols();
  Matrix out = uninit_matrix(data.rows(), data.cols());
  std::vector<KeyedCell> cells, tmp(C);
  cells.reserve(C);
  for (std::size_t t = 0; t < R; ++t) {
    const double *xr = data.data() + t * C;
    double *yr = out.data() + t * C;
    cells.clear();
    for (std::size_t c = 0; c < C; ++c) {
      if (std::isnan(xr[c])) {
        yr[c] = kNaN;
      } else {
        cells.push_back({order_key(xr[c], ascending), c});
      }
    }
    const std::size_t m = cells.size();
    if (m == 0) {
      continue;
    }
    // Equal values share one rank, so how ties are ordered does not matter here.
    sort_by_key(cells, tmp);
    const double scale = pct ? static_cast<double>(m) : 1.0;
    for (std::size_t i = 0; i < m;) {
      std::size_t j = i + 1;
      while (j < m && cells[j].key == cells[i].key) {
        ++j;
      }
      const double rank = static_cast<double>((i + 1) + j) * 0.5 / scale;
      for (std::size_t k = i; k < j; ++k) {
        yr[cells[k].col] = rank;
      }
      i = j;
    }
  }
  return Panel(dates, symbols, std::move(out));
}

} // namespace zorv
