#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "core/align.hpp"
#include "core/panel.hpp"

namespace zorv {

namespace {

template <BinOp Op> inline double apply(double a, double b) {
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

// A new panel on p's grid, each cell f(x).
template <class F> Panel map_cells(const Panel &p, F f) {
  Matrix m(p.data.rows(), p.data.cols());
  const double *x = p.data.data();
  double *y = m.data();
  const auto size = static_cast<std::size_t>(p.data.size());
  for (std::size_t i = 0; i < size; ++i) {
    y[i] = f(x[i]);
  }
  return Panel(p.dates, p.symbols, std::move(m));
}

// Aligns a with b and rewrites the aligned copy of a in place, each cell f(a, b).
template <class F> Panel zip_cells(const Panel &a, const Panel &b, F f) {
  auto [out, rhs] = align::align(a, b);
  double *x = out.data.data();
  const double *y = rhs.data.data();
  const auto size = static_cast<std::size_t>(out.data.size());
  for (std::size_t i = 0; i < size; ++i) {
    x[i] = f(x[i], y[i]);
  }
  return std::move(out);
}

inline bool truth(double x) { return x == 1.0; }

} // namespace

template <BinOp Op> Panel Panel::scalar_lhs(double k) const {
  return map_cells(*this, [k](double x) { return apply<Op>(k, x); });
}

template <BinOp Op> Panel Panel::scalar_rhs(double k) const {
  return map_cells(*this, [k](double x) { return apply<Op>(x, k); });
}

template <BinOp Op> Panel Panel::ewise(const Panel &rhs) const {
  return zip_cells(*this, rhs, [](double a, double b) { return apply<Op>(a, b); });
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

Panel Panel::and_(const Panel &rhs) const {
  return zip_cells(*this, rhs, [](double a, double b) { return truth(a) && truth(b) ? 1.0 : 0.0; });
}

Panel Panel::or_(const Panel &rhs) const {
  return zip_cells(*this, rhs, [](double a, double b) { return truth(a) || truth(b) ? 1.0 : 0.0; });
}

Panel Panel::mask(const Panel &cond) const {
  return zip_cells(*this, cond, [](double a, double b) {
    return truth(b) ? a : std::numeric_limits<double>::quiet_NaN();
  });
}

Panel Panel::not_() const {
  return map_cells(*this, [](double x) { return truth(x) ? 0.0 : 1.0; });
}

Panel Panel::neg() const {
  return map_cells(*this, [](double x) { return x * -1.0; });
}

Panel Panel::ceil() const {
  return map_cells(*this, [](double x) { return std::ceil(x); });
}

} // namespace zorv
