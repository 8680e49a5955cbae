#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "core/align.hpp"
#include "core/panel.hpp"

using namespace zorv;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

Matrix mat(Eigen::Index r, Eigen::Index c, std::initializer_list<double> v) {
  Matrix m(r, c);
  auto it = v.begin();
  for (Eigen::Index i = 0; i < r; ++i)
    for (Eigen::Index j = 0; j < c; ++j)
      m(i, j) = *it++;
  return m;
}

Panel make(std::vector<std::int32_t> d, std::vector<std::string> s,
           std::initializer_list<double> v) {
  auto r = static_cast<Eigen::Index>(d.size());
  auto c = static_cast<Eigen::Index>(s.size());
  return Panel(std::move(d), std::move(s), mat(r, c, v));
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

} // namespace

TEST(PanelCreate, ShapeTest) {
  struct Case {
    std::size_t dates, syms;
    Eigen::Index r, c;
    const char *err; // nullptr: success
  } cases[] = {
      {3, 2, 3, 2, nullptr},
      {3, 2, 2, 3, "shape mismatch: 3x2 != data len 6"},
      {0, 2, 0, 3, "shape mismatch: 0x2 != data len 0"},
      {0, 2, 0, 2, nullptr},
      {0, 0, 0, 0, nullptr},
  };
  for (const auto &c : cases) {
    std::vector<std::int32_t> d(c.dates, 20240101);
    std::vector<std::string> s(c.syms, "A");
    auto res = Panel::create(d, s, Matrix::Zero(c.r, c.c));
    if (c.err == nullptr) {
      ASSERT_TRUE(res.has_value());
      EXPECT_EQ(res->rows(), c.dates);
      EXPECT_EQ(res->cols(), c.syms);
    } else {
      ASSERT_FALSE(res.has_value());
      EXPECT_EQ(res.error().to_string(), c.err);
    }
  }
}

TEST(PanelCreate, KeepsUnsortedAndRepeated) {
  auto res = Panel::create({3, 1, 3}, {"B", "B"}, Matrix::Zero(3, 2));
  ASSERT_TRUE(res.has_value());
  EXPECT_EQ(res->dates, (std::vector<std::int32_t>{3, 1, 3}));
  EXPECT_EQ(res->symbols, (std::vector<std::string>{"B", "B"}));
}

TEST(EngineErrorText, Eval) {
  EXPECT_EQ(EngineError::eval("").to_string(), "eval error: ");
  EXPECT_EQ(EngineError::eval("unknown series 'x'").to_string(), "eval error: unknown series 'x'");
}

TEST(PanelShift, Lags) {
  Panel p = make({1, 2, 3}, {"A", "B"}, {1, 2, NaN, 4, 5, 6});
  struct Case {
    std::size_t n;
    std::vector<double> want;
  } cases[] = {
      {0, {1, 2, NaN, 4, 5, 6}},
      {1, {NaN, NaN, 1, 2, NaN, 4}},
      {2, {NaN, NaN, NaN, NaN, 1, 2}},
      {3, {NaN, NaN, NaN, NaN, NaN, NaN}},
      {100, {NaN, NaN, NaN, NaN, NaN, NaN}},
  };
  for (const auto &c : cases) {
    Panel s = p.shift(c.n);
    EXPECT_EQ(s.dates, p.dates);
    EXPECT_EQ(s.symbols, p.symbols);
    for (int i = 0; i < 6; ++i)
      EXPECT_TRUE(same(s.data(i / 2, i % 2), c.want[i])) << "n=" << c.n << " cell " << i;
  }
  Panel empty({}, {"A"});
  EXPECT_EQ(empty.shift(2).rows(), 0u);
}

TEST(Align, DateUnionAndMissingRows) {
  Panel a = make({30, 10}, {"X"}, {3, 1});
  Panel b = make({20, 10}, {"X"}, {2, 1.5});
  auto [pa, pb] = align::align(a, b);
  EXPECT_EQ(pa.dates, (std::vector<std::int32_t>{10, 20, 30}));
  EXPECT_EQ(pb.dates, pa.dates);
  EXPECT_EQ(pa.data(0, 0), 1);
  EXPECT_TRUE(std::isnan(pa.data(1, 0)));
  EXPECT_EQ(pa.data(2, 0), 3);
  EXPECT_EQ(pb.data(0, 0), 1.5);
  EXPECT_EQ(pb.data(1, 0), 2);
  EXPECT_TRUE(std::isnan(pb.data(2, 0)));
}

TEST(Align, SymbolOrderAndFiltering) {
  struct Case {
    std::vector<std::string> a, b, want;
  } cases[] = {
      {{"Z", "X", "Y"}, {"X", "Z"}, {"Z", "X"}},
      {{"Z", "X"}, {}, {}},
      {{"Z", "X"}, {"Q"}, {}},
      {{"x", "X"}, {"X"}, {"X"}},
  };
  for (const auto &c : cases) {
    Panel a({1, 2}, c.a);
    Panel b({3}, c.b);
    auto [pa, pb] = align::align(a, b);
    EXPECT_EQ(pa.symbols, c.want);
    EXPECT_EQ(pb.symbols, c.want);
    EXPECT_EQ(pa.dates, (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(pa.data.cols(), static_cast<Eigen::Index>(c.want.size()));
    EXPECT_EQ(pa.data.rows(), 3);
  }
}

TEST(Align, RepeatsResolveToLast) {
  // "A" twice in a: listed twice, both columns hold a's last "A" column.
  Panel a = make({5, 5}, {"A", "B", "A"}, {1, 2, 3, 4, 5, 6});
  Panel b = make({5}, {"A", "A"}, {7, 8});
  auto [pa, pb] = align::align(a, b);
  EXPECT_EQ(pa.symbols, (std::vector<std::string>{"A", "A"}));
  EXPECT_EQ(pa.dates, (std::vector<std::int32_t>{5}));
  EXPECT_EQ(pa.data(0, 0), 6);
  EXPECT_EQ(pa.data(0, 1), 6);
  EXPECT_EQ(pb.data(0, 0), 8);
  EXPECT_EQ(pb.data(0, 1), 8);
}
