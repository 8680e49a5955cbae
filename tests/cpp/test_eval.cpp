#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/bootstrap.hpp"
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

// A price-like context where swapping two inputs, two counts or a flag changes the result.
EvalContext ohlcv() {
  const std::vector<std::int32_t> dates = {20240102, 20240103, 20240104, 20240105, 20240108,
                                           20240109, 20240110, 20240111, 20240112, 20240115};
  const std::vector<std::string> syms = {"A", "B", "C"};
  std::vector<double> c, h, l, v;
  for (int t = 0; t < 10; ++t)
    for (int j = 0; j < 3; ++j) {
      const double x = 50.0 + 10.0 * j + 5.0 * std::sin(0.9 * t + 1.7 * j) + 0.3 * t;
      c.push_back(x);
      h.push_back(x + 1.0 + 0.5 * std::cos(t + j));
      l.push_back(x - 1.5 + 0.4 * std::sin(2.0 * t - j));
      v.push_back(1000.0 + 100.0 * ((t * 7 + j * 3) % 5));
    }
  EvalContext ctx;
  ctx.panels.emplace("close", make(dates, syms, c));
  ctx.panels.emplace("high", make(dates, syms, h));
  ctx.panels.emplace("low", make(dates, syms, l));
  ctx.panels.emplace("volume", make(dates, syms, v));
  ctx.industry = {{"A", "x"}, {"B", "y"}, {"C", "x"}};
  return ctx;
}

Panel ok(Result<Panel> r) {
  EXPECT_TRUE(r) << r.error().to_string();
  return r ? std::move(r).value() : Panel({}, {});
}

TEST(Eval, EveryOperatorPassesItsFieldsInOrder) {
  const EvalContext ctx = ohlcv();
  const Panel &c = ctx.panels.at("close"), &h = ctx.panels.at("high"), &l = ctx.panels.at("low"),
              &v = ctx.panels.at("volume");
  const std::string C = R"({"op":"Data","name":"close"})", H = R"({"op":"Data","name":"high"})",
                    L = R"({"op":"Data","name":"low"})", V = R"({"op":"Data","name":"volume"})";
  auto of_n = [&](const char *op, int n) {
    return std::string(R"({"op":")") + op + R"(","of":)" + C + R"(,"n":)" + std::to_string(n) + "}";
  };
  auto hlc = [&](const char *op, const std::string &rest) {
    return std::string(R"({"op":")") + op + R"(","high":)" + H + R"(,"low":)" + L + R"(,"close":)" +
           C + rest + "}";
  };
  auto hlcv = [&](const char *op) {
    return std::string(R"({"op":")") + op + R"(","high":)" + H + R"(,"low":)" + L + R"(,"close":)" +
           C + R"(,"volume":)" + V + R"(,"n":3})";
  };
  auto lr = [&](const char *op, const std::string &a, const std::string &b) {
    return std::string(R"({"op":")") + op + R"(","l":)" + a + R"(,"r":)" + b + "}";
  };
  const std::string up = lr("Gt", C, of_n("Shift", 1));
  const Panel up_p = c.ewise<BinOp::Gt>(c.shift(1));
  const std::string k2 = R"({"op":"Const","value":2})";
  const struct {
    std::string json;
    Panel want;
  } cases[] = {
      {of_n("Average", 3), c.average(3)},
      {of_n("Ema", 3), c.ema(3)},
      {of_n("Std", 3), c.rolling_std(3)},
      {of_n("Rsi", 3), c.rsi(3)},
      {of_n("PctChange", 2), c.pct_change(2)},
      {of_n("Rise", 2), c.rise(2)},
      {of_n("Shift", 2), c.shift(2)},
      {of_n("RollingMax", 3), c.rolling_max(3)},
      {hlc("Atr", R"(,"n":3)"), ok(ta::atr(h, l, c, 3))},
      {hlc("Natr", R"(,"n":3)"), ok(ta::natr(h, l, c, 3))},
      {hlc("WillR", R"(,"n":3)"), ok(ta::willr(h, l, c, 3))},
      {hlc("Cci", R"(,"n":3)"), ok(ta::cci(h, l, c, 3))},
      {hlc("StochK", R"(,"n":3)"), ok(ta::stoch_k(h, l, c, 3))},
      {hlc("StochD", R"(,"n":4,"d":2)"), ok(ta::stoch_d(h, l, c, 4, 2))},
      {hlc("StochD", R"(,"n":2)"), ok(ta::stoch_d(h, l, c, 2, 3))},
      {R"({"op":"AroonUp","high":)" + H + R"(,"n":3})", ta::aroon_dir(h, 3, true)},
      {R"({"op":"AroonDown","low":)" + L + R"(,"n":3})", ta::aroon_dir(l, 3, false)},
      {hlc("Adx", R"(,"n":2)"), ok(ta::adx(h, l, c, 2))},
      {hlc("PlusDi", R"(,"n":2)"), ok(ta::di_panel(h, l, c, 2, true))},
      {hlc("MinusDi", R"(,"n":2)"), ok(ta::di_panel(h, l, c, 2, false))},
      {R"({"op":"Obv","close":)" + C + R"(,"volume":)" + V + "}", ok(ta::obv(c, v))},
      {hlcv("Mfi"), ok(ta::mfi(h, l, c, v, 3))},
      {hlcv("Vwap"), ok(ta::vwap(h, l, c, v, 3))},
      {of_n("Fall", 2), c.fall(2)},
      {of_n("IsLargest", 1), c.top_n(1, true)},
      {of_n("IsSmallest", 1), c.top_n(1, false)},
      {R"({"op":"Sustain","of":)" + up + R"(,"nwindow":3,"nsatisfy":2})",
       up_p.sustain(3, std::size_t{2})},
      {R"({"op":"IsEntry","of":)" + up + "}", up_p.is_entry()},
      {R"({"op":"IsExit","of":)" + up + "}", up_p.is_exit()},
      {lr("Gt", C, H), c.ewise<BinOp::Gt>(h)},
      {lr("Lt", k2, C), c.scalar_lhs<BinOp::Lt>(2)},
      {lr("Ge", C, k2), c.scalar_rhs<BinOp::Ge>(2)},
      {lr("Le", L, C), l.ewise<BinOp::Le>(c)},
      {lr("And", up, of_n("Rise", 2)), up_p.and_(c.rise(2))},
      {lr("Or", up, of_n("Fall", 2)), up_p.or_(c.fall(2))},
      {R"({"op":"Not","of":)" + up + "}", up_p.not_()},
      {lr("Add", C, H), c.ewise<BinOp::Add>(h)},
      {lr("Sub", k2, C), c.scalar_lhs<BinOp::Sub>(2)},
      {lr("Mul", C, k2), c.scalar_rhs<BinOp::Mul>(2)},
      {lr("Div", L, H), l.ewise<BinOp::Div>(h)},
      {R"({"op":"Neg","of":)" + C + "}", c.neg()},
      {R"({"op":"Ceil","of":)" + C + "}", c.ceil()},
      {R"({"op":"Rank","of":)" + C + R"(,"pct":false})", c.rank_cs(false, true)},
      {R"({"op":"Rank","of":)" + C + R"(,"ascending":false})", c.rank_cs(true, false)},
      {R"({"op":"Mask","of":)" + C + R"(,"by":)" + up + "}", c.mask(up_p)},
      {R"({"op":"NormalizeRow","of":)" + C + "}", c.normalize_row()},
      {R"({"op":"Rebalance","of":)" + C + R"(,"freq":"W"})", ok(c.rebalance_freq(0))},
      {R"({"op":"Rebalance","of":)" + C + R"(,"freq":"ME"})", ok(c.rebalance_freq(1))},
      {R"({"op":"Rebalance","of":)" + C + R"(,"freq":"QE"})", ok(c.rebalance_freq(2))},
      {R"({"op":"Neutralize","of":)" + C + R"(,"by":[)" + H + "," + V + R"(],"add_const":false})",
       c.neutralize({h, v}, false)},
      {R"({"op":"Neutralize","of":)" + C + R"(,"by":[]})",
       c.neutralize(std::vector<Panel>{}, true)},
      {R"({"op":"IndustryRank","of":)" + C + "}", c.industry_rank(ctx.industry, std::nullopt)},
      {R"({"op":"GroupbyCategory","of":)" + C + R"(,"agg":"mean"})",
       ok(c.groupby_category(ctx.industry, "mean"))},
  };
  for (const auto &k : cases) {
    auto got = eval::run_strategy(k.json, ctx);
    ASSERT_TRUE(got) << k.json << ": " << got.error().to_string();
    SCOPED_TRACE(k.json);
    expect_same(*got, k.want);
  }
}

TEST(Eval, HoldUntilFillsItsOptionsByField) {
  EvalContext ctx = ohlcv();
  const Panel &c = ctx.panels.at("close");
  const Panel entry = c.ewise<BinOp::Gt>(c.shift(1)), exit = c.ewise<BinOp::Lt>(c.shift(2));
  const std::string head =
      R"({"op":"HoldUntil","entry":{"op":"Gt","l":{"op":"Data","name":"close"},"r":{"op":"Shift","of":{"op":"Data","name":"close"},"n":1}},"exit":{"op":"Lt","l":{"op":"Data","name":"close"},"r":{"op":"Shift","of":{"op":"Data","name":"close"},"n":2}})";
  HoldUntilOpts all;
  all.nstocks_limit = 2;
  const Panel rank = c.neg();
  all.rank = &rank;
  all.price = &c;
  all.stop_loss = 0.2;
  all.take_profit = 0.005;
  all.trail_stop = 0.001;
  all.trail_stop_activation = 0.02;
  HoldUntilOpts trail;
  trail.price = &c;
  trail.trail_stop = 0.01;
  HoldUntilOpts ranked;
  ranked.nstocks_limit = 1;
  ranked.rank = &rank;
  HoldUntilOpts activation_only;
  activation_only.trail_stop_activation = 0.5;
  const struct {
    std::string fields;
    HoldUntilOpts opts;
  } cases[] = {
      {R"(,"nstocks_limit":2,"rank":{"op":"Neg","of":{"op":"Data","name":"close"}},)"
       R"("stop_loss":0.2,"take_profit":0.005,"trail_stop":0.001,"trail_stop_activation":0.02)",
       all},
      {R"(,"trail_stop":0.01)", trail},
      {R"(,"rank":{"op":"Neg","of":{"op":"Data","name":"close"}},"nstocks_limit":1)", ranked},
      {R"(,"trail_stop_activation":0.5)", activation_only},
  };
  for (const auto &k : cases) {
    auto got = eval::run_strategy(head + k.fields + "}", ctx);
    ASSERT_TRUE(got) << k.fields << ": " << got.error().to_string();
    SCOPED_TRACE(k.fields);
    expect_same(*got, entry.hold_until(exit, k.opts));
  }
  // The array form carries the same fields in the same order.
  auto arr = eval::run_strategy(
      R"(["HoldUntil",["Gt",[0,"close"],["Shift",[0,"close"],1]],["Lt",[0,"close"],["Shift",[0,"close"],2]],2,["Neg",[0,"close"]],0.2,0.005,0.001,0.02])",
      ctx);
  ASSERT_TRUE(arr) << arr.error().to_string();
  expect_same(*arr, entry.hold_until(exit, all));
}

TEST(Eval, RebalanceOnUsesFiniteNonZeroRows) {
  const EvalContext ctx = context();
  auto none = eval::run_strategy(
      R"({"op":"Rebalance","of":{"op":"Data","name":"close"},"on":{"op":"Data","name":"zero"}})",
      ctx);
  ASSERT_TRUE(none);
  expect_same(*none, ctx.panels.at("close").rebalance_dates({}));
  // Infinities do not count, the smallest finite value does; the dates are the on panel's own.
  EvalContext sig = context();
  const double inf = std::numeric_limits<double>::infinity();
  sig.panels.emplace("sig", make({20240103, 20240104, 20240105, 20240106}, {"A", "B"},
                                 {inf, NaN, 0.0, -inf, NaN, 5e-324, -0.0, -2}));
  auto picked = eval::run_strategy(
      R"({"op":"Rebalance","of":{"op":"Data","name":"close"},"on":{"op":"Data","name":"sig"}})",
      sig);
  ASSERT_TRUE(picked);
  expect_same(*picked, ctx.panels.at("close").rebalance_dates({20240105, 20240106}));
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

  // The benchmark is the first symbol's column, every row of the benchmark panel.
  EvalContext two = context();
  two.panels.emplace("bench2",
                     make({20240101, 20240103, 20240104}, {"I", "J"}, {NaN, 5, 100, 6, 110, 7}));
  cfg.benchmark_key = "bench2";
  auto first_col = eval::run_backtest(w, two, "close", cfg);
  ASSERT_TRUE(first_col) << first_col.error().to_string();
  const std::vector<std::int32_t> bdates = {20240101, 20240103, 20240104};
  const std::vector<double> bvalues = {NaN, 100, 110};
  EXPECT_EQ(report::to_json(*first_col)["benchmark"].dump(),
            quaro::Value(report::benchmark_equity(first_col->dates, bdates, bvalues)).dump());
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
  // The fixed seed, and the block length passed on unchanged.
  cfg.bootstrap_block = 7;
  auto blocked = eval::run_backtest(w, ctx, "close", cfg);
  ASSERT_TRUE(blocked);
  auto direct = bootstrap::bootstrap(blocked->dates, blocked->equity, 50, 7, 0x5D3E91);
  ASSERT_TRUE(direct && direct->has_value());
  Report want = *blocked;
  want.bootstrap = **direct;
  EXPECT_EQ(report::to_json(*blocked).dump(), report::to_json(want).dump());
  EXPECT_EQ(blocked->bootstrap->block_len, 7u);
  cfg.bootstrap_samples = 0;
  auto c = eval::run_backtest(w, ctx, "close", cfg);
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->bootstrap.has_value());
}
