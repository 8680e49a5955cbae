#include <cmath>
#include <cstddef>
#include <utility>

#include "core/align.hpp"
#include "core/ops/grid.hpp"
#include "core/ops/kernel.hpp"
#include "core/panel.hpp"

namespace zorv {

namespace {

namespace pk = Eigen::internal;

using ops::kNaN;

// One operand fixed: the scalar on the left (Left) or on the right.
template <BinOp Op, bool Left> struct WithScalar {
  double k;
  double operator()(double x) const {
    return Left ? ops::BinKernel<Op>{}(k, x) : ops::BinKernel<Op>{}(x, k);
  }
  template <class P> P packet(const P &x) const {
    const P kp = pk::pset1<P>(k);
    return Left ? ops::BinKernel<Op>{}.packet(kp, x) : ops::BinKernel<Op>{}.packet(x, kp);
  }
};

inline bool truth(double x) { return x == 1.0; }

struct And {
  double operator()(double a, double b) const { return truth(a) && truth(b) ? 1.0 : 0.0; }
  template <class P> P packet(const P &a, const P &b) const {
    return ops::bool_lanes(pk::pand(ops::truth_lanes(a), ops::truth_lanes(b)));
  }
};

struct Or {
  double operator()(double a, double b) const { return truth(a) || truth(b) ? 1.0 : 0.0; }
  template <class P> P packet(const P &a, const P &b) const {
    return ops::bool_lanes(pk::por(ops::truth_lanes(a), ops::truth_lanes(b)));
  }
};

struct Mask {
  double operator()(double a, double cond) const { return truth(cond) ? a : kNaN; }
  template <class P> P packet(const P &a, const P &cond) const {
    const P keep = ops::truth_lanes(cond);
    return pk::por(pk::pand(keep, a), pk::pandnot(pk::pset1<P>(kNaN), keep));
  }
};

struct Not {
  double operator()(double x) const { return truth(x) ? 0.0 : 1.0; }
  template <class P> P packet(const P &x) const {
    return pk::pandnot(pk::pset1<P>(1.0), ops::truth_lanes(x));
  }
};

// A new panel on p's grid, each cell f(x).
template <class F> Panel map_cells(const Panel &p, F f) {
  Matrix m = uninit_matrix(p.data.rows(), p.data.cols());
  ops::map_into(p.data.data(), m.data(), static_cast<std::size_t>(m.size()), f);
  return Panel(p.dates, p.symbols, std::move(m));
}

// Each cell f(a, b) on the grid the alignment of a with b gives. On one canonical grid that is
// the grid itself, and the cells are computed straight from the inputs.
template <class F> Panel zip_cells(const Panel &a, const Panel &b, F f) {
  if (ops::same_canonical_grid(a, b)) {
    Matrix m = uninit_matrix(a.data.rows(), a.data.cols());
    ops::zip_into(a.data.data(), b.data.data(), m.data(), static_cast<std::size_t>(m.size()), f);
    return Panel(a.dates, a.symbols, std::move(m));
  }
  auto [out, rhs] = align::align(a, b);
  double *x = out.data.data();
  ops::zip_into(x, rhs.data.data(), x, static_cast<std::size_t>(out.data.size()), f);
  return std::move(out);
}

} // namespace

template <BinOp Op> Panel Panel::scalar_lhs(double k) const {
  return map_cells(*this, WithScalar<Op, true>{k});
}

template <BinOp Op> Panel Panel::scalar_rhs(double k) const {
  return map_cells(*this, WithScalar<Op, false>{k});
}

template <BinOp Op> Panel Panel::ewise(const Panel &rhs) const {
  return zip_cells(*this, rhs, ops::BinKernel<Op>{});
}

#define ZORV_INSTANTIATE_BINOP(op)                                                                 \
  template Panel Panel::scalar_lhs<BinOp::op>(double) const;                                       \
  template Panel Panel::scalar_rhs<BinOp::op>(double) const;                                       \
  template Panel Panel::ewise<BinOp::op>(const Panel &) const;
ZORV_INSTANTIATE_BINOP(Add)
ZORV_INSTANTIATE_BINOP(Sub)
ZORV_INSTANTIATE_BINOP(Mul)
ZORV_INSTANTIATE_BINOP(Div)
ZORV_INSTANTIATE_BINOP(Gt)
ZORV_INSTANTIATE_BINOP(Lt)
ZORV_INSTANTIATE_BINOP(Ge)
ZORV_INSTANTIATE_BINOP(Le)
#undef ZORV_INSTANTIATE_BINOP

Panel Panel::gt(const Panel &rhs) const { return ewise<BinOp::Gt>(rhs); }
Panel Panel::lt(const Panel &rhs) const { return ewise<BinOp::Lt>(rhs); }
Panel Panel::sub(const Panel &rhs) const { return ewise<BinOp::Sub>(rhs); }
Panel Panel::div(const Panel &rhs) const { return ewise<BinOp::Div>(rhs); }

Panel Panel::and_(const Panel &rhs) const { return zip_cells(*this, rhs, And{}); }

Panel Panel::or_(const Panel &rhs) const { return zip_cells(*this, rhs, Or{}); }

Panel Panel::mask(const Panel &cond) const { return zip_cells(*this, cond, Mask{}); }

Panel Panel::not_() const { return map_cells(*this, Not{}); }

Panel Panel::neg() const { return map_cells(*this, WithScalar<BinOp::Mul, false>{-1.0}); }

Panel Panel::ceil() const {
  Matrix m = uninit_matrix(data.rows(), data.cols());
  const double *x = data.data();
  double *y = m.data();
  const auto size = static_cast<std::size_t>(m.size());
  for (std::size_t i = 0; i < size; ++i) {
    y[i] = std::ceil(x[i]);
  }
  return Panel(dates, symbols, std::move(m));
}

} // namespace zorv
