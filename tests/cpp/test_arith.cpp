#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include <gtest/gtest.h>

#include "core/align.hpp"
#include "core/ops/grid.hpp"
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

inline bool truth(double x) { return x == 1.0; }

// Each two-panel operator with its cell formula, written one cell at a time.
struct TwoPanelOp {
  const char *name;
  std::function<Panel(const Panel &, const Panel &)> op;
  std::function<double(double, double)> cell;
};

const std::vector<TwoPanelOp> &two_panel_ops() {
  static const std::vector<TwoPanelOp> ops = {
      {"add", [](const Panel &a, const Panel &b) { return a.ewise<BinOp::Add>(b); },
       [](double a, double b) { return a + b; }},
      {"sub", [](const Panel &a, const Panel &b) { return a.sub(b); },
       [](double a, double b) { return a - b; }},
      {"mul", [](const Panel &a, const Panel &b) { return a.ewise<BinOp::Mul>(b); },
       [](double a, double b) { return a * b; }},
      {"div", [](const Panel &a, const Panel &b) { return a.div(b); },
       [](double a, double b) { return a / b; }},
      {"gt", [](const Panel &a, const Panel &b) { return a.gt(b); },
       [](double a, double b) { return a > b ? 1.0 : 0.0; }},
      {"lt", [](const Panel &a, const Panel &b) { return a.lt(b); },
       [](double a, double b) { return a < b ? 1.0 : 0.0; }},
      {"ge", [](const Panel &a, const Panel &b) { return a.ewise<BinOp::Ge>(b); },
       [](double a, double b) { return a >= b ? 1.0 : 0.0; }},
      {"le", [](const Panel &a, const Panel &b) { return a.ewise<BinOp::Le>(b); },
       [](double a, double b) { return a <= b ? 1.0 : 0.0; }},
      {"and", [](const Panel &a, const Panel &b) { return a.and_(b); },
       [](double a, double b) { return truth(a) && truth(b) ? 1.0 : 0.0; }},
      {"or", [](const Panel &a, const Panel &b) { return a.or_(b); },
       [](double a, double b) { return truth(a) || truth(b) ? 1.0 : 0.0; }},
      {"mask", [](const Panel &a, const Panel &b) { return a.mask(b); },
       [](double a, double b) { return truth(b) ? a : NaN; }},
  };
  return ops;
}

// The cell formula over the grid the alignment gives.
Panel reference(const TwoPanelOp &o, const Panel &a, const Panel &b) {
  auto [out, rhs] = align::align(a, b);
  for (Eigen::Index i = 0; i < out.data.rows(); ++i) {
    for (Eigen::Index j = 0; j < out.data.cols(); ++j) {
      out.data(i, j) = o.cell(out.data(i, j), rhs.data(i, j));
    }
  }
  return std::move(out);
}

// The panel with its rows in reverse order and its columns rotated by one: the same cells on a
// grid that has to be aligned.
Panel reshuffled(const Panel &p) {
  Panel q = p;
  std::reverse(q.dates.begin(), q.dates.end());
  q.data = p.data.colwise().reverse();
  if (p.cols() > 1) {
    std::rotate(q.symbols.begin(), q.symbols.begin() + 1, q.symbols.end());
    for (Eigen::Index j = 0; j < q.data.cols(); ++j) {
      q.data.col(j) = p.data.colwise().reverse().col((j + 1) % p.data.cols());
    }
  }
  return q;
}

// A constant on either side gives what a panel of that constant does (checked cell by cell above).
template <BinOp Op> void check_scalar_op(const Panel &p, const Panel &kp, double k) {
  EXPECT_TRUE(same_panel(p.scalar_lhs<Op>(k), kp.ewise<Op>(p))) << static_cast<int>(Op) << " " << k;
  EXPECT_TRUE(same_panel(p.scalar_rhs<Op>(k), p.ewise<Op>(kp))) << static_cast<int>(Op) << " " << k;
}

template <BinOp... Ops> void check_scalar_ops(const Panel &p, double k) {
  const Panel kp(p.dates, p.symbols, Matrix::Constant(p.data.rows(), p.data.cols(), k));
  (check_scalar_op<Ops>(p, kp, k), ...);
}

} // namespace

// Random panels of many widths (vector lanes and the cells left over), one above the size at
// which results are allocated differently.
TEST(Arith, KernelsMatchCellFormulas) {
  std::mt19937_64 rng(21);
  for (int iter = 0; iter < 120; ++iter) {
    const bool large = iter == 0;
    const std::size_t rows = large ? 700 : rng() % 9, cols = large ? 801 : rng() % 14;
    const Panel a = random_panel(rng, rows, cols, iter % 2 == 0);
    const Panel b = random_panel(rng, rows, cols, iter % 3 == 0);
    for (const auto &o : two_panel_ops()) {
      ASSERT_TRUE(same_panel(o.op(a, b), reference(o, a, b))) << o.name << " iter " << iter;
      if (large) {
        continue;
      }
      // The same cells on grids that have to be aligned give the same result.
      ASSERT_TRUE(same_panel(o.op(a, reshuffled(b)), o.op(a, b))) << o.name << " iter " << iter;
    }
    if (large) {
      continue;
    }
    for (double k : {0.0, -0.0, 1.0, 3.0, NaN, -Inf}) {
      check_scalar_ops<BinOp::Add, BinOp::Sub, BinOp::Mul, BinOp::Div, BinOp::Gt, BinOp::Lt,
                       BinOp::Ge, BinOp::Le>(a, k);
    }
    Panel not_ref = a, neg_ref = a;
    not_ref.data = a.data.unaryExpr([](double x) { return truth(x) ? 0.0 : 1.0; });
    neg_ref.data = a.data.unaryExpr([](double x) { return x * -1.0; });
    ASSERT_TRUE(same_panel(a.not_(), not_ref)) << iter;
    ASSERT_TRUE(same_panel(a.neg(), neg_ref)) << iter;
  }
}

// Both panels on one grid that the alignment changes (dates out of order or repeated, a symbol
// repeated): the result is on the aligned grid, not on the inputs' grid.
TEST(Arith, EqualButNonCanonicalGridsAreAligned) {
  std::mt19937_64 rng(23);
  for (int iter = 0; iter < 90; ++iter) {
    Panel a = random_panel(rng, 2 + rng() % 7, 2 + rng() % 9, iter % 2 == 0);
    if (iter % 3 == 0) {
      std::swap(a.dates.front(), a.dates.back());
    } else if (iter % 3 == 1) {
      a.dates[1] = a.dates.front();
    } else {
      a.symbols.back() = a.symbols.front();
    }
    Panel b = random_panel(rng, a.rows(), a.cols(), iter % 4 == 0);
    b.dates = a.dates;
    b.symbols = a.symbols;
    for (const auto &o : two_panel_ops()) {
      const Panel got = o.op(a, b);
      ASSERT_TRUE(std::is_sorted(got.dates.begin(), got.dates.end())) << o.name;
      ASSERT_TRUE(same_panel(got, reference(o, a, b))) << o.name << " iter " << iter;
    }
  }
}

// Large results take streaming stores: every start alignment and every leftover count.
TEST(Arith, StreamingStoresMatchCellFormulas) {
  std::mt19937_64 rng(25);
  const Panel a = random_panel(rng, 1, 40), b = random_panel(rng, 1, 40);
  for (std::size_t off = 0; off < 3; ++off) {
    for (std::size_t n = 0; n + off <= 40; ++n) {
      std::vector<double> y(n + off, 7.0);
      const double *pa = a.data.data() + off, *pb = b.data.data() + off;
      if (!ops::stream_into(y.data() + off, n, ops::BinKernel<BinOp::Gt>{}, pa, pb)) {
        GTEST_SKIP() << "no streaming stores on this target";
      }
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(same_bits(y[off + i], pa[i] > pb[i] ? 1.0 : 0.0)) << off << " " << n;
      }
      ops::stream_into(y.data() + off, n, ops::BinKernel<BinOp::Div>{}, pa, pb);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(same_bits(y[off + i], pa[i] / pb[i])) << off << " " << n;
      }
    }
  }
  // Panels past the size where streaming starts.
  const std::size_t side = 2048;
  ASSERT_GE(side * side, ops::kStreamCells);
  const Panel big_a = random_panel(rng, side, side), big_b = random_panel(rng, side, side);
  const Panel q = big_a.div(big_b), g = big_a.gt(big_b), m = big_a.scalar_rhs<BinOp::Mul>(-3.0);
  for (Eigen::Index i = 0; i < q.data.size(); ++i) {
    const double x = big_a.data.data()[i], z = big_b.data.data()[i];
    ASSERT_TRUE(same_bits(q.data.data()[i], x / z)) << i;
    ASSERT_TRUE(same_bits(g.data.data()[i], x > z ? 1.0 : 0.0)) << i;
    ASSERT_TRUE(same_bits(m.data.data()[i], x * -3.0)) << i;
  }
}

// A lagged zip takes packet kernels and plain callables alike.
TEST(Arith, LaggedZipTakesKernelsAndCallables) {
  static_assert(ops::BinaryPacketKernel<ops::BinKernel<BinOp::Gt>>);
  std::mt19937_64 rng(27);
  const Panel p = random_panel(rng, 9, 7);
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{9}}) {
    const Panel by_kernel = ops::zip_with_lag(p, n, ops::BinKernel<BinOp::Div>{});
    const Panel by_lambda = ops::zip_with_lag(p, n, [](double a, double b) { return a / b; });
    EXPECT_TRUE(same_panel(by_kernel, by_lambda)) << n;
    EXPECT_TRUE(same_panel(by_kernel, p.div(p.shift(n)))) << n;
  }
}

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
