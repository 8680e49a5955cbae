#include <set>
#include <string>

#include <gtest/gtest.h>

#include "quaro/dsl/ops.hpp"
#include "quaro/dsl/parse.hpp"

using namespace quaro;

namespace {

TEST(Ops, TablesAreConsistent) {
  std::set<std::string_view> tags, aliases;
  for (const ops::OpSpec &row : ops::OP_TABLE) {
    ASSERT_FALSE(row.aliases.empty());
    EXPECT_TRUE(tags.insert(row.tag).second) << row.tag;
    for (auto a : row.aliases)
      EXPECT_TRUE(aliases.insert(a).second) << a;
    std::set<std::string_view> names;
    for (const auto &p : row.params)
      EXPECT_TRUE(names.insert(p.name).second) << row.tag << "." << p.name;
  }
  EXPECT_EQ(tags.size(), 38u);
  for (const auto &b : ops::BINOP_TABLE)
    EXPECT_EQ(tags.count(b.tag), 0u);
}

TEST(Ops, Lookups) {
  ASSERT_NE(ops::find_by_alias("average"), nullptr);
  EXPECT_EQ(ops::find_by_alias("average"), ops::find_by_alias("sma"));
  EXPECT_EQ(ops::find_by_alias("sma")->tag, "Average");
  EXPECT_EQ(ops::find_by_alias("SMA"), nullptr);
  EXPECT_EQ(ops::find_by_tag("Average")->aliases.front(), "sma");
  EXPECT_EQ(ops::find_by_tag("Data"), nullptr);
  EXPECT_EQ(ops::find_by_alias("groupby_category")->params.at(1).kind, ops::ParamKind::Str);
  EXPECT_EQ(ops::find_by_alias("hold_until")->params.size(), 8u);
  EXPECT_EQ(ops::binop_tag(">="), "Ge");
  EXPECT_EQ(ops::binop_tag("and"), "And");
  EXPECT_FALSE(ops::binop_tag("="));
  EXPECT_FALSE(ops::binop_tag("not"));
  EXPECT_EQ(ops::binop_symbol_for_tag("Div"), "/");
  EXPECT_FALSE(ops::binop_symbol_for_tag("Neg"));
}

// The tree as compact JSON, or the error's display text.
std::string run(std::string_view src) {
  auto r = parse::parse(src);
  return r ? r->dump() : r.error().to_string();
}

struct Case {
  std::string src;
  std::string want;
};

class ParseCases : public ::testing::TestWithParam<Case> {};

TEST_P(ParseCases, Result) { EXPECT_EQ(run(GetParam().src), GetParam().want) << GetParam().src; }

#define D(x) R"({"name":")" x R"(","op":"Data"})"
#define C(x) R"({"op":"Const","value":)" x "}"
#define BIN(tag, l, r) R"({"l":)" l R"(,"op":")" tag R"(","r":)" r "}"
#define UN(tag, x) R"({"of":)" x R"(,"op":")" tag R"("})"

INSTANTIATE_TEST_SUITE_P(
    Expressions, ParseCases,
    ::testing::Values(
        Case{"close", D("close")}, Case{"sma", D("sma")},
        Case{"close > 1", BIN("Gt", D("close"), C("1"))},
        Case{"close > 1.0", BIN("Gt", D("close"), C("1"))},
        Case{"close > 2.5", BIN("Gt", D("close"), C("2.5"))},
        Case{"x * 9006999999999999", BIN("Mul", D("x"), C("9006999999999999"))},
        Case{"x * 9.007e15", BIN("Mul", D("x"), C("9.007e+15"))},
        Case{"x * 1e20", BIN("Mul", D("x"), C("1e+20"))},
        Case{"-a + b", UN("Neg", BIN("Add", D("a"), D("b")))},
        Case{"-a * b", UN("Neg", BIN("Mul", D("a"), D("b")))},
        Case{"-a < b", BIN("Lt", UN("Neg", D("a")), D("b"))},
        Case{"a - -b", BIN("Sub", D("a"), UN("Neg", D("b")))},
        Case{"a * -b + c", BIN("Mul", D("a"), UN("Neg", BIN("Add", D("b"), D("c"))))},
        Case{"a - b - c", BIN("Sub", BIN("Sub", D("a"), D("b")), D("c"))},
        Case{"a < b < c", BIN("Lt", BIN("Lt", D("a"), D("b")), D("c"))},
        Case{"a - (b - c)", BIN("Sub", D("a"), BIN("Sub", D("b"), D("c")))},
        Case{"a + b * c / d", BIN("Add", D("a"), BIN("Div", BIN("Mul", D("b"), D("c")), D("d")))},
        Case{"not a and b", BIN("And", UN("Not", D("a")), D("b"))},
        Case{"not a > b and c", BIN("And", UN("Not", BIN("Gt", D("a"), D("b"))), D("c"))},
        Case{"a or b and c", BIN("Or", D("a"), BIN("And", D("b"), D("c")))},
        Case{"not(a) or b", BIN("Or", UN("Not", D("a")), D("b"))},
        Case{"a >= 1 and b <= 2", BIN("And", BIN("Ge", D("a"), C("1")), BIN("Le", D("b"), C("2")))},
        Case{"-5", UN("Neg", C("5"))}, Case{"(((a)))", D("a")},
        Case{"x * (1)", BIN("Mul", D("x"), C("1"))}));

INSTANTIATE_TEST_SUITE_P(
    Calls, ParseCases,
    ::testing::Values(
        Case{"sma(close, 5)", R"({"n":5,"of":)" D("close") R"(,"op":"Average"})"},
        Case{"average(of=close, n=5)", R"({"n":5,"of":)" D("close") R"(,"op":"Average"})"},
        Case{"sma(close, 5,)", R"({"n":5,"of":)" D("close") R"(,"op":"Average"})"},
        Case{"sma(close, n=5, n=6)", R"({"n":6,"of":)" D("close") R"(,"op":"Average"})"},
        Case{"sma(close, n=2.5)", R"({"n":2.5,"of":)" D("close") R"(,"op":"Average"})"},
        Case{"stoch_d(h, l, c, 14)", R"({"close":)" D("c") R"(,"high":)" D("h") R"(,"low":)" D(
                                         "l") R"(,"n":14,"op":"StochD"})"},
        Case{"rank(x, ascending=false)", R"({"ascending":false,"of":)" D("x") R"(,"op":"Rank"})"},
        Case{"rebalance(x, freq=\"ME\")", R"({"freq":"ME","of":)" D("x") R"(,"op":"Rebalance"})"},
        Case{"neutralize(x, by=[a b])",
             R"({"by":[)" D("a") "," D("b") R"(],"of":)" D("x") R"(,"op":"Neutralize"})"},
        Case{"neutralize(x, by=[a, 2,])",
             R"({"by":[)" D("a") "," C("2") R"(],"of":)" D("x") R"(,"op":"Neutralize"})"},
        Case{"neutralize(x, [])", R"({"by":[],"of":)" D("x") R"(,"op":"Neutralize"})"},
        Case{"industry_rank(x, categories=[1, \"a\", b])",
             R"({"categories":[1,"a",)" D("b") R"(],"of":)" D("x") R"(,"op":"IndustryRank"})"},
        Case{"hold_until(a, b, rank=c, stop_loss=0.1)",
             R"({"entry":)" D("a") R"(,"exit":)" D("b") R"(,"op":"HoldUntil","rank":)" D(
                 "c") R"(,"stop_loss":0.1})"},
        Case{"groupby_category(x, \"mean\")",
             R"({"agg":"mean","of":)" D("x") R"(,"op":"GroupbyCategory"})"},
        Case{"ceil(x)", UN("Ceil", D("x"))},
        Case{"mask(x, 1)", R"({"by":)" C("1") R"(,"of":)" D("x") R"(,"op":"Mask"})"}));

INSTANTIATE_TEST_SUITE_P(
    Lets, ParseCases,
    ::testing::Values(Case{"let a = close\na + a", BIN("Add", D("close"), D("close"))},
                      Case{"let a = 1\nx > a", BIN("Gt", D("x"), C("1"))},
                      Case{"let a = a\na", D("a")},
                      Case{"let n = 5 sma(close, n)", "1:11: `n` must be a number"},
                      Case{"let a = 1 let a = 2 close", "1:15: `a` is already defined"},
                      Case{"let a = (1 let a = 2 close", "1:16: expected `)`"},
                      Case{"let x close", "1:12: expected `=` in let binding"},
                      Case{"let x", "1:6: expected `=` in let binding"},
                      Case{"let 1 = 2", "1:5: expected name after `let`"},
                      Case{"let a = true close",
                           "1:14: a boolean cannot stand alone as an expression"},
                      Case{"let a = \"s\"", "1:12: a string cannot stand alone as an expression"},
                      Case{"close let a = 1", "1:7: unexpected trailing input"},
                      Case{"close + let", "1:9: unexpected token Let"}));

INSTANTIATE_TEST_SUITE_P(
    Errors, ParseCases,
    ::testing::Values(
        Case{"", "1:1: unexpected token Eof"},
        Case{"5", "1:2: a strategy must be an expression, not a bare constant"},
        Case{"\"s\"", "1:4: a strategy must be an expression, not a bare constant"},
        Case{"true", "1:5: a strategy must be an expression, not a bare constant"},
        Case{"(5)\n", "2:1: a strategy must be an expression, not a bare constant"},
        Case{"true and close", "1:15: a boolean cannot stand alone as an expression"},
        Case{"close + 1e999", "1:14: invalid expression: null"},
        Case{"-true", "1:6: a boolean cannot stand alone as an expression"},
        Case{"[1, 2]", "1:1: unexpected token LBracket"},
        Case{"close = 1", "1:7: unexpected trailing input"},
        Case{"close close", "1:7: unexpected trailing input"},
        Case{"* close", "1:1: unexpected operator `*`"},
        Case{"a + * b", "1:5: unexpected operator `*`"}, Case{"(close", "1:7: expected `)`"},
        Case{"(close ] x", "1:10: expected `)`"}, Case{")", "1:1: unexpected token RParen"},
        Case{"a ,", "1:3: unexpected trailing input"},
        Case{"frobnicate(close)", "1:1: unknown op `frobnicate`"},
        Case{"x + SMA(close, 5)", "1:5: unknown op `SMA`"}, Case{"frobnicate", D("frobnicate")},
        Case{"true(1)", "1:5: unexpected trailing input"},
        Case{"sma(close, n=5, 3)", "1:17: positional argument after keyword argument"},
        Case{"sma(close, 5, n=10)", "1:1: `Average` has no field `n`"},
        Case{"sma(close, 5, 6)", "1:1: `Average` takes at most 2 positional args"},
        Case{"sma(close)", "1:1: `Average` requires `n`"},
        Case{"sma(n=5)", "1:1: `Average` requires `of`"},
        Case{"sma(close, 5, m=1, k=2)", "1:1: `Average` has no field `m`"},
        Case{"sma(close, 5, m=1) > sma(x)", "1:1: `Average` has no field `m`"},
        Case{"x + rank(sma(close), 3)", "1:10: `Average` requires `n`"},
        Case{"sma(close", "1:10: expected `,` or `)`"}, Case{"sma(", "1:5: unexpected token Eof"},
        Case{"sma(close 5)", "1:11: expected `,` or `)`"},
        Case{"sma(close,, 5)", "1:11: unexpected token Comma"},
        Case{"sma(close, -5)", "1:1: `n` must be a number"},
        Case{"sma(\"c\", 5)", "1:1: a string cannot stand alone as an expression"},
        Case{"sma(true, 5)", "1:1: a boolean cannot stand alone as an expression"},
        Case{"sma([a], 5)", R"(1:1: invalid expression: [{"name":"a","op":"Data"}])"},
        Case{"hold_until(a, b, stop_loss=-0.1)", "1:1: `stop_loss` must be a number"},
        Case{"rebalance(x, freq=ME)", "1:1: `freq` must be a string"},
        Case{"rank(x, pct=1)", "1:1: `pct` must be true/false"},
        Case{"neutralize(x, by=close)", "1:1: `by` must be a list `[ ... ]`"},
        Case{"neutralize(x, by=[a, true])", "1:1: a boolean cannot stand alone as an expression"},
        Case{"neutralize(x, by=[a,, b])", "1:21: unexpected token Comma"},
        Case{"neutralize(x, by=[a", "1:20: unexpected token Eof"},
        Case{"industry_rank(x, categories=\"a\")", "1:1: `categories` must be a list of strings"},
        Case{"groupby_category(x, mean)", "1:1: `agg` must be a string"},
        Case{"sma(close, 5) sma", "1:15: unexpected trailing input"}));

TEST(Parse, AnalysisRecordsReferencesAndUnusedBindings) {
  auto a = parse::parse_analyzed("let a = close\nlet b = a\nlet c = foo\na + a + bar");
  ASSERT_TRUE(a);
  ASSERT_EQ(a->refs.size(), 3u);
  EXPECT_EQ(a->refs[0].name, "close");
  EXPECT_EQ(a->refs[0].line, 1u);
  EXPECT_EQ(a->refs[0].col, 9u);
  EXPECT_EQ(a->refs[1].name, "foo");
  EXPECT_EQ(a->refs[2].name, "bar");
  EXPECT_EQ(a->refs[2].line, 4u);
  EXPECT_EQ(a->refs[2].col, 9u);
  ASSERT_EQ(a->unused.size(), 2u);
  EXPECT_EQ(a->unused[0].name, "b");
  EXPECT_EQ(a->unused[0].line, 2u);
  EXPECT_EQ(a->unused[0].col, 5u);
  EXPECT_EQ(a->unused[1].name, "c");
}

TEST(Parse, NestingLimit) {
  const auto nest = [](std::size_t n, std::string_view open, std::string_view inner,
                       std::string_view close) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i)
      s += open;
    s += inner;
    for (std::size_t i = 0; i < n; ++i)
      s += close;
    return s;
  };
  EXPECT_EQ(run(nest(256, "(", "x", ")")), D("x"));
  EXPECT_EQ(run(nest(257, "(", "x", ")")), "1:257: expression nested too deeply");
  EXPECT_EQ(run(nest(300, "a+(", "x", ")")), "1:386: expression nested too deeply");
  EXPECT_EQ(run(nest(200, "neutralize(x, by=[", "x", "])")),
            "1:2315: expression nested too deeply");

  // The tree may be 127 levels deep (126 operators over a series), whatever nests it: prefix
  // operators, calls, flat chains, bindings.
  EXPECT_TRUE(parse::parse(nest(126, "-", "x", "")));
  EXPECT_EQ(run(nest(127, "-", "x", "")), "1:1: expression nested too deeply");
  EXPECT_EQ(run(nest(100000, "not ", "x", "")), "1:1025: expression nested too deeply");
  EXPECT_TRUE(parse::parse(nest(126, "ceil(", "x", ")")));
  EXPECT_EQ(run(nest(127, "ceil(", "x", ")")), "1:1: expression nested too deeply");
  std::string sum = "x";
  for (int i = 0; i < 126; ++i)
    sum += "+x";
  EXPECT_TRUE(parse::parse(sum));
  EXPECT_EQ(run(sum + "+x"), "1:254: expression nested too deeply");

  // Bindings nest the tree where they are used.
  std::string lets = "let a = " + nest(30, "-", "x", "") + "\n";
  lets += "let b = " + nest(30, "-", "a", "") + "\n";
  lets += "let c = " + nest(30, "-", "b", "") + "\n";
  lets += "let d = " + nest(30, "-", "c", "") + "\n";
  EXPECT_TRUE(parse::parse(lets + "not " + nest(5, "-", "d", "")));
  EXPECT_EQ(run(lets + "not " + nest(6, "-", "d", "")), "5:1: expression nested too deeply");
  EXPECT_EQ(run(lets + "sma(" + nest(6, "-", "d", "") + ", 2)"),
            "5:1: expression nested too deeply");
}

TEST(Parse, ManyKeywordArguments) {
  // Each keyword keeps the place it was first given in and the value it was last given.
  std::string src = "sma(of=close";
  for (int i = 0; i < 50000; ++i)
    src += ", k" + std::to_string(i) + "=" + std::to_string(i);
  src += ", n=1, k0=x, n=7)";
  EXPECT_EQ(run(src), "1:1: `Average` has no field `k0`");
  std::string ok = "sma(close";
  for (int i = 0; i < 50000; ++i)
    ok += ", n=" + std::to_string(i);
  EXPECT_EQ(run(ok + ")"), R"({"n":49999,"of":)" D("close") R"(,"op":"Average"})");
}

TEST(Parse, BindingCopiesAreBounded) {
  // Each binding doubles the tree; the copies stop growing at a fixed budget.
  std::string src = "let a0 = close\n";
  for (int i = 1; i <= 40; ++i)
    src += "let a" + std::to_string(i) + " = a" + std::to_string(i - 1) + " + a" +
           std::to_string(i - 1) + "\n";
  src += "a40";
  auto r = parse::parse(src);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "expression too large");
}

TEST(Parse, ArbitraryBytesNeverCrash) {
  std::string src;
  std::uint32_t seed = 12345;
  for (int round = 0; round < 2000; ++round) {
    src.clear();
    const int len = static_cast<int>(seed % 40);
    for (int i = 0; i < len; ++i) {
      seed = seed * 1664525u + 1013904223u;
      static constexpr char alphabet[] = "ab(),[]=<>+-*/ \n\"1.e_#let not and or sma";
      src += (seed >> 24) % 7 == 0 ? static_cast<char>(seed >> 16)
                                   : alphabet[(seed >> 16) % (sizeof alphabet - 1)];
    }
    seed = seed * 1664525u + 1013904223u;
    auto r = parse::parse(src);
    if (r)
      EXPECT_TRUE(r->is_object());
    else
      EXPECT_FALSE(r.error().message.empty());
  }
}

} // namespace
