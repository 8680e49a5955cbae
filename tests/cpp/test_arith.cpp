#include <cmath>

#include <gtest/gtest.h>

#include "ops_testing.hpp"

using namespace zorv;
using namespace zorv::testing;

namespace {

const std::vector<double> kXs = {1.0, 3.0, 5.0, NaN, Inf, -0.0};

template <BinOp Op> void check_scalar(double k, std::vector<double> lhs, std::vector<double> rhs) {
  EXPECT_TRUE(same_cells(row(kXs).scalar_lhs<Op>(k), lhs)) << static_cast<int>(Op);
  EXPECT_TRUE(same_cells(row(kXs).scalar_rhs<Op>(k), rhs)) << static_cast<int>(Op);
  // A panel of constants on the other side computes the same cells.
  const Panel kp = row(std::vector<double>(kXs.size(), k));
  EXPECT_TRUE(same_cells(kp.ewise<Op>(row(kXs)), lhs)) << static_cast<int>(Op);
  EXPECT_TRUE(same_cells(row(kXs).ewise<Op>(kp), rhs)) << static_cast<int>(Op);
}

} // namespace

TEST(Arith, ConstantKeepsItsSide) {
  // Cells 1, 3, 5, NaN, +inf, -0.0 against k = 3.
  check_scalar<BinOp::Add>(3, {4, 6, 8, NaN, Inf, 3}, {4, 6, 8, NaN, Inf, 3});
  check_scalar<BinOp::Sub>(3, {2, 0, -2, NaN, -Inf, 3}, {-2, 0, 2, NaN, Inf, -3});
  check_scalar<BinOp::Mul>(3, {3, 9, 15, NaN, Inf, -0.0}, {3, 9, 15, NaN, Inf, -0.0});
  check_scalar<BinOp::Div>(3, {3, 1, 0.6, NaN, 0, -Inf}, {1.0 / 3, 1, 5.0 / 3, NaN, Inf, -0.0});
  check_scalar<BinOp::Gt>(3, {1, 0, 0, 0, 0, 1}, {0, 0, 1, 0, 1, 0});
  check_scalar<BinOp::Lt>(3, {0, 0, 1, 0, 1, 0}, {1, 0, 0, 0, 0, 1});
  check_scalar<BinOp::Ge>(3, {1, 1, 0, 0, 0, 1}, {0, 1, 1, 0, 1, 0});
  check_scalar<BinOp::Le>(3, {0, 1, 1, 0, 1, 0}, {1, 1, 0, 0, 0, 1});
}

TEST(Arith, IeeeSpecialValues) {
  struct Case {
    double a, b;
    double add, sub, mul, div;
  } cases[] = {
      {1, 0.0, 1, 1, 0, Inf},      {1, -0.0, 1, 1, -0.0, -Inf},   {-1, 0.0, -1, -1, -0.0, -Inf},
      {0, 0.0, 0, 0, 0, NaN},      {-0.0, -0.0, -0.0, 0, 0, NaN}, {Inf, Inf, Inf, NaN, Inf, NaN},
      {0, Inf, Inf, -Inf, NaN, 0}, {NaN, 1, NaN, NaN, NaN, NaN},  {1, NaN, NaN, NaN, NaN, NaN},
  };
  for (const auto &c : cases) {
    const Panel a = row({c.a}), b = row({c.b});
    EXPECT_TRUE(same_cells(a.ewise<BinOp::Add>(b), {c.add})) << c.a << " + " << c.b;
    EXPECT_TRUE(same_cells(a.sub(b), {c.sub})) << c.a << " - " << c.b;
    EXPECT_TRUE(same_cells(a.ewise<BinOp::Mul>(b), {c.mul})) << c.a << " * " << c.b;
    EXPECT_TRUE(same_cells(a.div(b), {c.div})) << c.a << " / " << c.b;
  }
  // A zero constant on the right divides every cell by zero.
  EXPECT_TRUE(same_cells(row({1, -0.0, 0, -2}).scalar_rhs<BinOp::Div>(0.0), {Inf, NaN, NaN, -Inf}));
}

TEST(Arith, ComparisonsWithNanAreFalse) {
  const Panel a = row({NaN, 1, NaN, -Inf, 0.0});
  const Panel b = row({1, NaN, NaN, NaN, -0.0});
  const std::vector<double> no = {0, 0, 0, 0, 0};
  EXPECT_TRUE(same_cells(a.gt(b), no));
  EXPECT_TRUE(same_cells(a.lt(b), no));
  EXPECT_TRUE(same_cells(a.ewise<BinOp::Ge>(b), {0, 0, 0, 0, 1}));
  EXPECT_TRUE(same_cells(a.ewise<BinOp::Le>(b), {0, 0, 0, 0, 1}));
  for (double k : {NaN, 0.0}) {
    EXPECT_TRUE(same_cells(row({NaN}).scalar_lhs<BinOp::Ge>(k), {0}));
    EXPECT_TRUE(same_cells(row({NaN}).scalar_rhs<BinOp::Le>(k), {0}));
  }
}

TEST(Arith, TruthRules) {
  const Panel a = row({1, 1, NaN, NaN, 0, 2, 1, -1});
  const Panel b = row({1, NaN, 1, NaN, 1, 1, 0.5, 1});
  EXPECT_TRUE(same_cells(a.and_(b), {1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(same_cells(a.or_(b), {1, 1, 1, 0, 1, 1, 1, 1}));
  EXPECT_TRUE(same_cells(a.mask(b), {1, NaN, NaN, NaN, 0, 2, NaN, -1}));
  EXPECT_TRUE(same_cells(b.mask(a), {1, NaN, NaN, NaN, NaN, NaN, 0.5, NaN}));
  EXPECT_TRUE(same_cells(a.not_(), {0, 0, 1, 1, 1, 1, 0, 1}));
}

TEST(Arith, NegAndCeil) {
  const Panel p = row({0.0, -0.0, 2.5, NaN, Inf, -Inf, -0.5, 2.0, -2.5});
  EXPECT_TRUE(same_cells(p.neg(), {-0.0, 0.0, -2.5, NaN, -Inf, Inf, 0.5, -2.0, 2.5}));
  EXPECT_TRUE(same_cells(p.ceil(), {0.0, -0.0, 3, NaN, Inf, -Inf, -0.0, 2, -2}));
}

TEST(Arith, TwoPanelsTakeTheAlignedGrid) {
  // Left: dates 3, 1; symbols Z, X, Y. Right: dates 2, 1; symbols X, Z, W.
  const Panel a({3, 1}, {"Z", "X", "Y"},
                (Matrix(2, 3) << 1, 1, 1, //
                 2, 1, 7)
                    .finished());
  const Panel b({2, 1}, {"X", "Z", "W"},
                (Matrix(2, 3) << 1, 1, 1, //
                 1, 3, 1)
                    .finished());
  const std::vector<std::int32_t> dates = {1, 2, 3};
  const std::vector<std::string> syms = {"Z", "X"};
  struct Case {
    const char *name;
    Panel got;
    std::vector<double> want; // rows 1, 2, 3; columns Z, X
  } cases[] = {
      {"sub", a.sub(b), {-1, 0, NaN, NaN, NaN, NaN}},
      {"gt", a.gt(b), {0, 0, 0, 0, 0, 0}},
      {"ge", a.ewise<BinOp::Ge>(b), {0, 1, 0, 0, 0, 0}},
      {"and", a.and_(b), {0, 1, 0, 0, 0, 0}},
      {"or", a.or_(b), {0, 1, 1, 1, 1, 1}},
      {"mask", a.mask(b), {NaN, 1, NaN, NaN, NaN, NaN}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.got.dates, dates) << c.name;
    EXPECT_EQ(c.got.symbols, syms) << c.name;
    EXPECT_TRUE(same_cells(c.got, c.want)) << c.name;
  }
  // No symbol in common: no columns, the union of the dates.
  const Panel none = a.ewise<BinOp::Add>(Panel({5}, {"Q"}));
  EXPECT_EQ(none.dates, (std::vector<std::int32_t>{1, 3, 5}));
  EXPECT_EQ(none.data.cols(), 0);
  EXPECT_EQ(none.data.rows(), 3);
}

TEST(Arith, EmptyPanels) {
  const Panel e = grid(0, 0, {});
  EXPECT_EQ(e.not_().data.size(), 0);
  EXPECT_EQ(e.scalar_lhs<BinOp::Div>(1).data.size(), 0);
  EXPECT_EQ(grid(2, 0, {}).ewise<BinOp::Mul>(e).dates.size(), 2u);
}
