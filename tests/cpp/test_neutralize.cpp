#include <cmath>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "core/ops/linalg.hpp"
#include "core/ops/neutralize.hpp"

using namespace zorv;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

Panel make(std::vector<std::int32_t> d, std::vector<std::string> s, std::vector<double> v) {
  Panel p(std::move(d), std::move(s));
  std::size_t k = 0;
  for (Eigen::Index i = 0; i < p.data.rows(); ++i)
    for (Eigen::Index j = 0; j < p.data.cols(); ++j)
      p.data(i, j) = v.at(k++);
  return p;
}

std::vector<double> cells(const Panel &p) {
  std::vector<double> v;
  for (Eigen::Index i = 0; i < p.data.rows(); ++i)
    for (Eigen::Index j = 0; j < p.data.cols(); ++j)
      v.push_back(p.data(i, j));
  return v;
}

// Cell-wise comparison, NaN equal to NaN, within tol.
void expect_cells(const Panel &p, const std::vector<double> &want, double tol,
                  const std::string &what) {
  const auto got = cells(p);
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << what << " cell " << i << " = " << got[i];
    } else {
      EXPECT_NEAR(got[i], want[i], tol) << what << " cell " << i;
    }
  }
}

const std::string kOther = "其他";

} // namespace

TEST(SolveOls, Table) {
  struct Case {
    const char *name;
    Matrix x;
    std::vector<double> y;
    std::optional<std::vector<double>> want;
  };
  Matrix tie(3, 2);
  tie << 1, -1, 1, -1, 0, 3;
  Matrix line(3, 2);
  line << 1, 0, 1, 1, 1, 2;
  Matrix singular(2, 2);
  singular << 1, 2, 2, 4;
  Matrix just(1, 1);
  just << 1e-6;
  Matrix below(1, 1);
  below << 9e-7;
  const Case cases[] = {
      // X'X = [[2, -2], [-2, 11]]: equal magnitudes in column 0, the first row pivots. Taking
      // the second would round the first coefficient to 0.23333333333333336.
      {"pivot tie",
       tie,
       {0.1, 0.3, 0.1},
       std::vector<double>{0.23333333333333334, 0.03333333333333334}},
      {"line", line, {0, 2, 1}, std::vector<double>{0.5, 0.5}},
      {"singular", singular, {1, 2}, std::nullopt},
      {"pivot at the threshold", just, {1e-6}, std::vector<double>{1.0}},
      {"pivot below the threshold", below, {1.0}, std::nullopt},
      {"no columns", Matrix(3, 0), {1, 2, 3}, std::vector<double>{}},
      {"y of the wrong length", line, {1, 2}, std::nullopt},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(linalg::solve_ols(c.x, c.y), c.want) << c.name;
  }
}

TEST(Neutralize, Residuals) {
  const std::vector<std::int32_t> d{1, 2};
  const std::vector<std::string> s{"A", "B", "C"};
  struct Case {
    const char *name;
    Panel y;
    std::vector<Panel> factors;
    bool add_const;
    std::vector<double> want;
  };
  const Case cases[] = {
      {"constant and one factor",
       make(d, s, {0, 2, 1, 5, NaN, 7}),
       {make(d, s, {0, 1, 2, 1, 2, 3})},
       true,
       // Row 0: fit 0.5 + 0.5 x. Row 1: the two valid cells lie on a line.
       {-0.5, 1, -0.5, 0, NaN, 0}},
      {"one valid cell with constant and factor",
       make(d, s, {1, NaN, NaN, 1, 2, 3}),
       {make(d, s, {1, 2, 3, NaN, NaN, 4})},
       true,
       {NaN, NaN, NaN, NaN, NaN, NaN}},
      {"zero factor without constant is singular",
       make(d, s, {1, 2, 3, 4, 5, 6}),
       {make(d, s, {0, 0, 0, 0, 0, 0})},
       false,
       {NaN, NaN, NaN, NaN, NaN, NaN}},
      {"constant alone demeans",
       make(d, s, {1, 2, 6, Inf, 2, 4}),
       {},
       true,
       {-2, -1, 3, NaN, -1, 1}},
      {"nothing to fit keeps finite cells",
       make(d, s, {1, -Inf, 3, NaN, -0.5, 4}),
       {},
       false,
       {1, NaN, 3, NaN, -0.5, 4}},
      // The factor lacks B and date 2: those cells leave the valid set.
      {"factor on another grid",
       make(d, s, {1, 9, 3, 4, 5, 6}),
       {make({1, 3}, {"C", "A"}, {2, 1, 7, 7})},
       true,
       {0, NaN, 0, NaN, NaN, NaN}},
  };
  for (const auto &c : cases) {
    const Panel r = c.y.neutralize(c.factors, c.add_const);
    EXPECT_EQ(r.dates, d) << c.name;
    EXPECT_EQ(r.symbols, s) << c.name;
    expect_cells(r, c.want, 1e-12, c.name);
  }
}

TEST(Neutralize, EmptyAndRepeatedGrids) {
  const Panel none({}, {"A", "B"});
  EXPECT_EQ(none.neutralize({none}, true).data.rows(), 0);
  const Panel nosym({1, 2}, {});
  EXPECT_EQ(nosym.neutralize({nosym}, true).data.cols(), 0);
  // A repeated symbol reads the factor's one column of that name in both places.
  const Panel y = make({1}, {"A", "A", "B"}, {1, 3, 2});
  const Panel f = make({1}, {"A", "B"}, {1, 2});
  expect_cells(y.neutralize({f}, false), {-1.0 / 3, 5.0 / 3, -2.0 / 3}, 1e-12, "repeated");
}

TEST(GroupColsByIndustry, OrderOfFirstAppearance) {
  const std::vector<std::string> syms{"A", "B", "C", "D"};
  const IndustryMap ind{{"A", "bank"}, {"C", "Tech"}, {"D", "bank"}};
  const auto g = Panel::group_cols_by_industry(syms, ind, {2, 1, 3, 0, 7});
  ASSERT_EQ(g.size(), 3u);
  EXPECT_EQ(g[0].label, "Tech");
  EXPECT_EQ(g[0].cols, (std::vector<std::size_t>{2}));
  EXPECT_EQ(g[1].label, kOther);
  EXPECT_EQ(g[1].cols, (std::vector<std::size_t>{1}));
  EXPECT_EQ(g[2].label, "bank");
  EXPECT_EQ(g[2].cols, (std::vector<std::size_t>{3, 0}));
  EXPECT_TRUE(Panel::group_cols_by_industry(syms, ind, {}).empty());
}

TEST(IndustryRank, TiesAndCategories) {
  const std::vector<std::string> s{"A", "B", "C", "D", "E"};
  const IndustryMap ind{{"A", "Tech"}, {"B", "Tech"}, {"C", "Tech"}, {"D", "bank"}};
  const Panel p = make({1, 2}, s, {3, 1, 3, 7, 5, 2, NaN, Inf, -1, -1});
  using Cats = std::optional<std::vector<std::string>>;
  struct Case {
    const char *name;
    IndustryMap ind;
    Cats cats;
    std::vector<double> want;
  } cases[] = {
      {"all industries", ind, std::nullopt, {2.5 / 3, 1.0 / 3, 2.5 / 3, 1, 1, 1, NaN, NaN, 1, 1}},
      {"only Tech",
       ind,
       Cats{{"Tech"}},
       {2.5 / 3, 1.0 / 3, 2.5 / 3, NaN, NaN, 1, NaN, NaN, NaN, NaN}},
      {"labels compare exactly", ind, Cats{{"tech", "Bank"}}, std::vector<double>(10, NaN)},
      {"no categories", ind, Cats{std::vector<std::string>{}}, std::vector<double>(10, NaN)},
      // Without a map all five share one industry.
      {"empty map", {}, std::nullopt, {0.5, 0.2, 0.5, 1, 0.8, 1, NaN, NaN, 0.5, 0.5}},
      {"empty map, other by name",
       {},
       Cats{{kOther}},
       {0.5, 0.2, 0.5, 1, 0.8, 1, NaN, NaN, 0.5, 0.5}},
  };
  for (const auto &c : cases) {
    expect_cells(p.industry_rank(c.ind, c.cats), c.want, 0, c.name);
  }
}

TEST(NeutralizeIndustry, GroupRules) {
  const std::vector<std::string> s{"A", "B", "C", "D"};
  const IndustryMap ind{{"A", "x"}, {"B", "x"}, {"C", "y"}};
  struct Case {
    const char *name;
    IndustryMap ind;
    std::vector<double> in, want;
  } cases[] = {
      {"two cells in one industry", ind, {1, 2, NaN, NaN}, {NaN, NaN, NaN, NaN}},
      {"two cells in two industries", ind, {1, NaN, 5, NaN}, {0, NaN, 0, NaN}},
      {"one valid cell", ind, {NaN, NaN, 5, NaN}, {NaN, NaN, NaN, NaN}},
      {"group means", ind, {1, 4, 5, Inf}, {-1.5, 1.5, 0, NaN}},
      {"three groups", ind, {1, 4, 5, 6}, {-1.5, 1.5, 0, 0}},
      {"empty map is one industry", {}, {1, 4, 5, 6}, {NaN, NaN, NaN, NaN}},
  };
  for (const auto &c : cases) {
    const Panel p = make({1}, s, c.in);
    expect_cells(p.neutralize_industry(c.ind), c.want, 0, c.name);
  }
}

TEST(GroupbyCategory, ColumnsAndAggregates) {
  const std::vector<std::string> s{"A", "B", "C", "D", "E"};
  const IndustryMap ind{{"A", "bank"}, {"B", "Tech"}, {"C", "bank"}, {"D", "Tech"}};
  // E is missing from the map; the categories are byte-ordered.
  const Panel p = make({1, 2}, s, {1, 4, 2, NaN, NaN, 3, NaN, Inf, NaN, 8});
  const std::vector<std::string> cats{"Tech", "bank", kOther};
  struct Case {
    const char *agg;
    std::vector<double> want;
  } cases[] = {
      {"sum", {4, 3, NaN, NaN, 3, 8}},
      {"mean", {4, 1.5, NaN, NaN, 3, 8}},
      {"std", {NaN, std::sqrt(0.5), NaN, NaN, NaN, NaN}},
  };
  for (const auto &c : cases) {
    auto r = p.groupby_category(ind, c.agg);
    ASSERT_TRUE(r.has_value()) << c.agg;
    EXPECT_EQ(r->symbols, cats);
    EXPECT_EQ(r->dates, p.dates);
    expect_cells(*r, c.want, 0, c.agg);
  }
}

TEST(GroupbyCategory, BadAggJudgedOnlyWithValues) {
  const IndustryMap ind{{"A", "b"}};
  struct Case {
    Panel p;
    const char *err; // nullptr: an all-NaN result
  } cases[] = {
      {make({1, 2}, {"A", "B"}, {NaN, NaN, NaN, 1}), "eval error: bad groupby agg 'median'"},
      {make({1}, {"A", "B"}, {NaN, -Inf}), nullptr},
      {Panel({}, {"A", "B"}), nullptr},
      {Panel({1}, {}), nullptr},
  };
  for (const auto &c : cases) {
    auto r = c.p.groupby_category(ind, "median");
    if (c.err != nullptr) {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().to_string(), c.err);
    } else {
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->data.cols(), static_cast<Eigen::Index>(r->symbols.size()));
      EXPECT_TRUE(r->data.isNaN().all());
    }
  }
}

TEST(Aggregate, Table) {
  struct Case {
    const char *agg;
    std::vector<double> v;
    double want;
    bool neg_zero;
  } cases[] = {
      {"sum", {1, 2, 3.5}, 6.5, false},
      {"sum", {-0.0}, -0.0, true},
      {"mean", {1, 2}, 1.5, false},
      {"std", {2, 4, 4, 4, 5, 5, 7, 9}, std::sqrt(32.0 / 7.0), false},
      {"std", {3}, NaN, false},
  };
  for (const auto &c : cases) {
    auto r = neutralize::aggregate(c.agg, c.v);
    ASSERT_TRUE(r.has_value());
    if (std::isnan(c.want)) {
      EXPECT_TRUE(std::isnan(*r)) << c.agg;
    } else {
      EXPECT_EQ(*r, c.want) << c.agg;
      EXPECT_EQ(std::signbit(*r), c.neg_zero) << c.agg;
    }
  }
  for (const char *bad : {"Sum", "median", ""}) {
    auto r = neutralize::aggregate(bad, std::vector<double>{1});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), std::string("eval error: bad groupby agg '") + bad + "'");
  }
}
