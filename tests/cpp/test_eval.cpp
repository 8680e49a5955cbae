#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/eval.hpp"
#include "core/ops/rotation.hpp"
#include "core/ops/ta.hpp"
#include "core/report.hpp"

using namespace zorv;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

Panel make(std::vector<std::int32_t> d, std::vector<std::string> s, std::vector<double> v) {
  Matrix m(static_cast<Eigen::Index>(d.size()), static_cast<Eigen::Index>(s.size()));
  std::size_t k = 0;
  for (Eigen::Index i = 0; i < m.rows(); ++i)
    for (Eigen::Index j = 0; j < m.cols(); ++j)
      m(i, j) = v[k++];
  return Panel(std::move(d), std::move(s), std::move(m));
}

EvalContext context() {
  EvalContext ctx;
  ctx.panels.emplace("close", make({20240102, 20240103, 20240104, 20240105}, {"A", "B"},
                                   {10, 20, 11, 19, 12, 18, 13, 17}));
  ctx.panels.emplace("px", make({20240102, 20240103, 20240104, 20240105}, {"A", "B"},
                                {10, 20, 11, 19, 12, 18, 13, 17}));
  ctx.panels.emplace("high", make({20240102, 20240103, 20240104, 20240105}, {"A", "B"},
                                  {11, 21, 12, 20, 13, 19, 14, 18}));
  ctx.panels.emplace("low", make({20240102, 20240103, 20240104, 20240105}, {"A", "B"},
                                 {9, 19, 10, 18, 11, 17, 12, 16}));
  ctx.panels.emplace("zero", make({20240102, 20240103, 20240104, 20240105}, {"A", "B"},
                                  {0, NaN, 0, 0, NaN, -0.0, 0, 0}));
  ctx.panels.emplace("bench",
                     make({20240102, 20240103, 20240104, 20240105}, {"I"}, {100, 101, 102, 103}));
  ctx.panels.emplace("empty_bench", make({20240102}, {}, {}));
  return ctx;
}

std::string err_of(const Result<Panel> &r) { return r ? "" : r.error().to_string(); }

void expect_same(const Panel &a, const Panel &b) {
  ASSERT_EQ(a.dates, b.dates);
  ASSERT_EQ(a.symbols, b.symbols);
  ASSERT_EQ(a.data.rows(), b.data.rows());
  ASSERT_EQ(a.data.cols(), b.data.cols());
  for (Eigen::Index i = 0; i < a.data.rows(); ++i)
    for (Eigen::Index j = 0; j < a.data.cols(); ++j) {
      const double x = a.data(i, j), y = b.data(i, j);
      EXPECT_TRUE((std::isnan(x) && std::isnan(y)) ||
                  (x == y && std::signbit(x) == std::signbit(y)))
          << i << "," << j << ": " << x << " vs " << y;
    }
}

} // namespace

TEST(Eval, Failures) {
  const EvalContext ctx = context();
  struct Case {
    const char *json, *err;
  } cases[] = {
      {R"({"op":"Const","value":2.0})", "eval error: bare Const 2 not allowed at top level"},
      {R"({"op":"Const","value":0.25})", "eval error: bare Const 0.25 not allowed at top level"},
      {R"({"op":"Const","value":-1e20})",
       "eval error: bare Const -100000000000000000000 not allowed at top level"},
      {R"({"op":"Average","of":{"op":"Const","value":1},"n":2})",
       "eval error: bare Const 1 not allowed at top level"},
      {R"({"op":"And","l":{"op":"Data","name":"close"},"r":{"op":"Const","value":1.5}})",
       "eval error: bare Const 1.5 not allowed at top level"},
      {R"({"op":"Add","l":{"op":"Const","value":1},"r":{"op":"Const","value":2}})",
       "eval error: both operands of a binary op are Const"},
      {R"({"op":"Data","name":"Close"})", "eval error: unknown series 'Close'"},
      {R"({"op":"Rebalance","of":{"op":"Data","name":"nope"}})",
       "eval error: unknown series 'nope'"},
      {R"({"op":"Rebalance","of":{"op":"Data","name":"close"}})",
       "eval error: Rebalance needs freq or on"},
      {R"({"op":"Rebalance","of":{"op":"Data","name":"close"},"freq":"W","on":{"op":"Data","name":"close"}})",
       "eval error: Rebalance takes either freq or on, not both"},
      {R"({"op":"Rebalance","of":{"op":"Data","name":"close"},"freq":"w"})",
       "eval error: bad freq 'w'"},
      {R"({"op":"Neutralize","of":{"op":"Data","name":"close"},"by":[{"op":"Data","name":"px"},{"op":"Data","name":"gone"},{"op":"Const","value":1}]})",
       "eval error: unknown series 'gone'"},
      {R"({"op":"GroupbyCategory","of":{"op":"Data","name":"close"},"agg":"median"})",
       "eval error: bad groupby agg 'median'"},
      {R"({"op":"Sub","l":{"op":"Data","name":"x"},"r":{"op":"Data","name":"y"}})",
       "eval error: unknown series 'x'"},
      {R"({"op":"Data"})", "eval error: missing field `name`"},
      {"", "eval error: EOF while parsing a value at line 1 column 0"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(err_of(eval::run_strategy(c.json, ctx)), c.err) << c.json;
  }
}

TEST(Eval, BareConstIsPrintedInShortestPlainDecimal) {
  const EvalContext ctx;
  const struct {
    std::string value, printed;
  } cases[] = {
      {"2.0", "2"},
      {"0.25", "0.25"},
      {"-0.0", "-0"},
      {"-0", "-0"},
      {"1e21", "1000000000000000000000"},
      {"1e-7", "0.0000001"},
      {"0.30000000000000004", "0.30000000000000004"},
      {"5e-324", "0." + std::string(323, '0') + "5"},
      {"-1.5e-5", "-0.000015"},
      {"123.456", "123.456"},
      // Beyond 2^53 only the shortest round-trip digits are written, the rest is zeros.
      {"123456789012345678901", "123456789012345680000"},
      {"18446744073709551615", "18446744073709552000"},
      {"-9223372036854775808", "-9223372036854776000"},
      {"1.7976931348623157e308", "17976931348623157" + std::string(292, '0')},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(err_of(eval::run_strategy(R"({"op":"Const","value":)" + c.value + "}", ctx)),
              "eval error: bare Const " + c.printed + " not allowed at top level")
        << c.value;
  }
}

TEST(Eval, HoldUntilNeedsClose) {
  EvalContext ctx = context();
  ctx.panels.erase("close");
  const std::string entry =
      R"("entry":{"op":"Gt","l":{"op":"Data","name":"px"},"r":{"op":"Const","value":0}},"exit":{"op":"Lt","l":{"op":"Data","name":"px"},"r":{"op":"Const","value":0}})";
  EXPECT_TRUE(eval::run_strategy(
      R"({"op":"HoldUntil",)" + entry + R"(,"trail_stop_activation":0.1})", ctx));
  EXPECT_EQ(
      err_of(eval::run_strategy(R"({"op":"HoldUntil",)" + entry + R"(,"stop_loss":0.1})", ctx)),
      "eval error: HoldUntil stops require a 'close' panel");
  // A child's error wins over the missing close.
  EXPECT_EQ(
      err_of(eval::run_strategy(
          R"({"op":"HoldUntil","entry":{"op":"Data","name":"q"},"exit":{"op":"Data","name":"px"},"stop_loss":0.1})",
          ctx)),
      "eval error: unknown series 'q'");
}

TEST(Eval, ConstSidesAndComposition) {
  const EvalContext ctx = context();
  const Panel &close = ctx.panels.at("close");
  auto k_minus_x = eval::run_strategy(
      R"({"op":"Sub","l":{"op":"Const","value":100},"r":{"op":"Data","name":"close"}})", ctx);
  ASSERT_TRUE(k_minus_x);
  expect_same(*k_minus_x, close.scalar_lhs<BinOp::Sub>(100));
  EXPECT_EQ(k_minus_x->data(0, 0), 90);

  auto x_div_k = eval::run_strategy(
      R"({"op":"Div","l":{"op":"Data","name":"close"},"r":{"op":"Const","value":4}})", ctx);
  ASSERT_TRUE(x_div_k);
  EXPECT_EQ(x_div_k->data(0, 0), 2.5);

  auto ranked = eval::run_strategy(
      R"({"op":"Rank","of":{"op":"Average","of":{"op":"Data","name":"close"},"n":2}})", ctx);
  ASSERT_TRUE(ranked);
  expect_same(*ranked, close.average(2).rank_cs(true, true));

  auto atr = eval::run_strategy(
      R"({"op":"Atr","high":{"op":"Data","name":"high"},"low":{"op":"Data","name":"low"},"close":{"op":"Data","name":"close"},"n":2})",
      ctx);
  ASSERT_TRUE(atr);
  auto want = ta::atr(ctx.panels.at("high"), ctx.panels.at("low"), close, 2);
  ASSERT_TRUE(want);
  expect_same(*atr, *want);

  auto entries = eval::run_strategy(
      R"({"op":"IsEntry","of":{"op":"Gt","l":{"op":"Data","name":"close"},"r":{"op":"Shift","of":{"op":"Data","name":"close"},"n":1}}})",
      ctx);
  ASSERT_TRUE(entries);
  expect_same(*entries, close.ewise<BinOp::Gt>(close.shift(1)).is_entry());
}

TEST(Eval, OperatorFamiliesMatchTheirOwnFunctions) {
  EvalContext ctx = context();
  ctx.industry = {{"A", "tech"}};
  const Panel &close = ctx.panels.at("close");
  const Panel &px = ctx.panels.at("px");
  const Panel gt_half = close.scalar_rhs<BinOp::Gt>(15);
  const Panel lt_half = close.scalar_rhs<BinOp::Lt>(15);
  struct Case {
    const char *json;
    Panel want;
  } cases[] = {
      {R"({"op":"NormalizeRow","of":{"op":"IsLargest","of":{"op":"Data","name":"close"},"n":1}})",
       close.top_n(1, true).normalize_row()},
      {R"({"op":"NeutralizeIndustry","of":{"op":"Data","name":"close"},"add_const":false})",
       close.neutralize_industry(ctx.industry)},
      {R"({"op":"Neutralize","of":{"op":"Data","name":"close"},"by":[{"op":"Data","name":"px"}]})",
       close.neutralize({px}, true)},
      {R"({"op":"IndustryRank","of":{"op":"Data","name":"close"},"categories":["tech"]})",
       close.industry_rank(ctx.industry, std::vector<std::string>{"tech"})},
      {R"({"op":"HoldUntil","entry":{"op":"Gt","l":{"op":"Data","name":"close"},"r":{"op":"Const","value":15}},"exit":{"op":"Lt","l":{"op":"Data","name":"close"},"r":{"op":"Const","value":15}},"nstocks_limit":1})",
       [&] {
         HoldUntilOpts o;
         o.nstocks_limit = 1;
         return gt_half.hold_until(lt_half, o);
       }()},
      {R"({"op":"Mask","of":{"op":"Data","name":"close"},"by":{"op":"Not","of":{"op":"Sustain","of":{"op":"Rise","of":{"op":"Data","name":"close"},"n":1},"nwindow":2}}})",
       close.mask(close.rise(1).sustain(2, std::nullopt).not_())},
  };
  for (const auto &c : cases) {
    auto got = eval::run_strategy(c.json, ctx);
    ASSERT_TRUE(got) << c.json << ": " << got.error().to_string();
    expect_same(*got, c.want);
  }
}

TEST(Eval, RebalanceOnUsesFiniteNonZeroRows) {
  const EvalContext ctx = context();
  auto none = eval::run_strategy(
      R"({"op":"Rebalance","of":{"op":"Data","name":"close"},"on":{"op":"Data","name":"zero"}})",
      ctx);
  ASSERT_TRUE(none);
  expect_same(*none, ctx.panels.at("close").rebalance_dates({}));
  auto monthly = eval::run_strategy(
      R"({"op":"Rebalance","of":{"op":"Data","name":"close"},"freq":"YE"})", ctx);
  ASSERT_TRUE(monthly);
  EXPECT_EQ(monthly->dates, (std::vector<std::int32_t>{20240105}));
}

TEST(EvalBacktest, Road) {
  const EvalContext ctx = context();
  const char *hold_a =
      R"({"op":"Mask","of":{"op":"Data","name":"close"},"by":{"op":"Data","name":"close"}})";
  const std::string w = R"({"op":"NormalizeRow","of":{"op":"Data","name":"close"}})";
  BacktestConfig cfg;
  auto rep = eval::run_backtest(w, ctx, "close", cfg);
  ASSERT_TRUE(rep) << rep.error().to_string();
  EXPECT_EQ(rep->dates.size(), 4u);
  EXPECT_FALSE(rep->benchmark.has_value());
  EXPECT_FALSE(rep->bootstrap.has_value());

  auto bad_price = eval::run_backtest(w, ctx, "nope", cfg);
  ASSERT_FALSE(bad_price);
  EXPECT_EQ(bad_price.error().to_string(), "eval error: unknown price series 'nope'");

  // The strategy's own error comes before the price lookup.
  auto bad_both = eval::run_backtest(R"({"op":"Data","name":"q"})", ctx, "nope", cfg);
  ASSERT_FALSE(bad_both);
  EXPECT_EQ(bad_both.error().to_string(), "eval error: unknown series 'q'");

  cfg.benchmark_key = "missing";
  auto bad_bench = eval::run_backtest(hold_a, ctx, "close", cfg);
  ASSERT_FALSE(bad_bench);
  EXPECT_EQ(bad_bench.error().to_string(), "eval error: unknown benchmark series 'missing'");

  cfg.benchmark_key = "empty_bench";
  auto no_syms = eval::run_backtest(w, ctx, "close", cfg);
  ASSERT_FALSE(no_syms);
  EXPECT_EQ(no_syms.error().to_string(),
            "eval error: benchmark series 'empty_bench' has no symbols");

  cfg.benchmark_key = "bench";
  auto with_bench = eval::run_backtest(w, ctx, "close", cfg);
  ASSERT_TRUE(with_bench);
  ASSERT_TRUE(with_bench->benchmark.has_value());
  EXPECT_EQ(with_bench->benchmark->size(), 4u);
}

TEST(EvalBacktest, BootstrapIsDeterministic) {
  EvalContext ctx;
  std::vector<std::int32_t> dates;
  std::vector<double> px;
  for (int i = 0; i < 300; ++i) {
    dates.push_back(20200101 + (i / 28) * 100 + i % 28);
    px.push_back(100.0 + 10.0 * std::sin(i * 0.1) + 0.05 * i);
  }
  ctx.panels.emplace("close", make(dates, {"A"}, px));
  BacktestConfig cfg;
  cfg.bootstrap_samples = 50;
  const char *w = R"({"op":"Gt","l":{"op":"Data","name":"close"},"r":{"op":"Const","value":0}})";
  auto a = eval::run_backtest(w, ctx, "close", cfg);
  auto b = eval::run_backtest(w, ctx, "close", cfg);
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  ASSERT_TRUE(a->bootstrap.has_value());
  EXPECT_EQ(report::to_json(*a).dump(), report::to_json(*b).dump());
  cfg.bootstrap_samples = 0;
  auto c = eval::run_backtest(w, ctx, "close", cfg);
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->bootstrap.has_value());
}
