// Helpers shared by the operators in this directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "core/ops/kernel.hpp"
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

// True when a two-panel operator over a and b may skip the alignment: both on one canonical grid,
// which the alignment gives back unchanged, each panel projecting onto itself.
inline bool same_canonical_grid(const Panel &a, const Panel &b) {
  return a.dates == b.dates && a.symbols == b.symbols && grid_is_canonical(a);
}

// Wraps a kernel F, which has double operator() and a templated packet() of the same arity, as an
// Eigen functor: Eigen's packet path then vectorises the loop whatever the compiler's own
// vectoriser does, and runs the scalar operator() on the cells that do not fill a packet. packet()
// must give, lane by lane, exactly what operator() gives.
template <class F> struct PacketFn {
  F f;
  double operator()(double a) const { return f(a); }
  double operator()(double a, double b) const { return f(a, b); }
  template <class P> P packetOp(const P &a) const { return f.packet(a); }
  template <class P> P packetOp(const P &a, const P &b) const { return f.packet(a, b); }
};

// A kernel of two cells that also computes whole packets.
template <class F>
concept BinaryPacketKernel = requires(const F &f, const pk::packet_traits<double>::type &v) {
  f.packet(v, v);
};

using Column = Eigen::Array<double, Eigen::Dynamic, 1>;

// Results this large are gone from the caches before anything reads them again; streaming stores
// write them without first fetching every line.
inline constexpr std::size_t kStreamCells = (std::size_t{32} << 20) / sizeof(double);

// y[i] = f(a[i]...) for i < n, by streaming stores: packets where y is packet-aligned, the rest
// cell by cell. False where the target has no streaming store (the caller falls back).
template <class F, class... In> bool stream_into(double *y, std::size_t n, const F &f, In... in) {
#if defined(EIGEN_VECTORIZE_SSE2)
  using P = pk::Packet2d;
  std::size_t i = 0;
  for (; i < n && reinterpret_cast<std::uintptr_t>(y + i) % sizeof(P) != 0; ++i) {
    y[i] = f(in[i]...);
  }
  for (; i + 2 <= n; i += 2) {
    _mm_stream_pd(y + i, f.packet(pk::ploadu<P>(in + i)...));
  }
  for (; i < n; ++i) {
    y[i] = f(in[i]...);
  }
  _mm_sfence();
  return true;
#else
  (void)y, (void)n, (void)f, ((void)in, ...);
  return false;
#endif
}

// y[i] = f(x[i]) for i < n; y may be x.
template <class F> void map_into(const double *x, double *y, std::size_t n, F f) {
  if (n >= kStreamCells && stream_into(y, n, f, x)) {
    return;
  }
  const auto len = static_cast<Eigen::Index>(n);
  Eigen::Map<Column>(y, len) = Eigen::Map<const Column>(x, len).unaryExpr(PacketFn<F>{f});
}

// y[i] = f(a[i], b[i]) for i < n; y may be a or b.
template <class F> void zip_into(const double *a, const double *b, double *y, std::size_t n, F f) {
  if (n >= kStreamCells && stream_into(y, n, f, a, b)) {
    return;
  }
  const auto len = static_cast<Eigen::Index>(n);
  Eigen::Map<Column>(y, len) =
      Eigen::Map<const Column>(a, len).binaryExpr(Eigen::Map<const Column>(b, len), PacketFn<F>{f});
}

template <class P> P ones() { return pk::pset1<P>(1.0); }

// A comparison's all-ones/all-zeros lanes as 1.0/0.0. An ordered comparison is false when either
// side is NaN, as the scalar one.
template <class P> P bool_lanes(const P &m) { return pk::pand(m, ones<P>()); }

// The numeric binary operators as kernels for PacketFn.
template <BinOp Op> struct BinKernel {
  double operator()(double a, double b) const {
    if constexpr (Op == BinOp::Add) {
      return a + b;
    } else if constexpr (Op == BinOp::Sub) {
      return a - b;
    } else if constexpr (Op == BinOp::Mul) {
      return a * b;
    } else if constexpr (Op == BinOp::Div) {
      return a / b;
    } else if constexpr (Op == BinOp::Gt) {
      return a > b ? 1.0 : 0.0;
    } else if constexpr (Op == BinOp::Lt) {
      return a < b ? 1.0 : 0.0;
    } else if constexpr (Op == BinOp::Ge) {
      return a >= b ? 1.0 : 0.0;
    } else {
      static_assert(Op == BinOp::Le);
      return a <= b ? 1.0 : 0.0;
    }
  }
  template <class P> P packet(const P &a, const P &b) const {
    if constexpr (Op == BinOp::Add) {
      return pk::padd(a, b);
    } else if constexpr (Op == BinOp::Sub) {
      return pk::psub(a, b);
    } else if constexpr (Op == BinOp::Mul) {
      return pk::pmul(a, b);
    } else if constexpr (Op == BinOp::Div) {
      return pk::pdiv(a, b);
    } else if constexpr (Op == BinOp::Gt) {
      return bool_lanes(pk::pcmp_lt(b, a));
    } else if constexpr (Op == BinOp::Lt) {
      return bool_lanes(pk::pcmp_lt(a, b));
    } else if constexpr (Op == BinOp::Ge) {
      return bool_lanes(pk::pcmp_le(b, a));
    } else {
      return bool_lanes(pk::pcmp_le(a, b));
    }
  }
};

// A cell is true only when it equals 1.0.
template <class P> P truth_lanes(const P &x) { return pk::pcmp_eq(x, ones<P>()); }

// Cell (t, c) is f(x[t][c], x[t-n][c]), with NaN for the cells before the first row: what a
// two-panel operator over the panel and its n-row lag gives when the grid is canonical. F is a
// kernel as for PacketFn, or any callable of two doubles (then cell by cell).
template <class F> Panel zip_with_lag(const Panel &p, std::size_t n, F f) {
  const auto R = p.rows();
  const auto C = p.cols();
  Matrix m = uninit_matrix(p.data.rows(), p.data.cols());
  const double *x = p.data.data();
  double *y = m.data();
  const std::size_t lead = n < R ? n : R;
  for (std::size_t i = 0; i < lead * C; ++i) {
    y[i] = f(x[i], kNaN);
  }
  if (n >= R) {
    return Panel(p.dates, p.symbols, std::move(m));
  }
  if constexpr (BinaryPacketKernel<F>) {
    zip_into(x + n * C, x, y + n * C, (R - n) * C, f);
  } else {
    for (std::size_t i = n * C; i < R * C; ++i) {
      y[i] = f(x[i], x[i - n * C]);
    }
  }
  return Panel(p.dates, p.symbols, std::move(m));
}

} // namespace zorv::ops

template <class F> struct Eigen::internal::functor_traits<zorv::ops::PacketFn<F>> {
  enum { Cost = 1, PacketAccess = 1 };
};
