#include <random>
#include <string>

#include <gtest/gtest.h>

#include "quaro/dsl/ops.hpp"
#include "quaro/dsl/parse.hpp"
#include "quaro/dsl/print.hpp"

using namespace quaro;

namespace {

// Source through the parser and the printer.
std::string reprint(std::string_view src) {
  auto r = parse::parse(src);
  return r ? print::format(*r) : "parse failed: " + r.error().to_string();
}

struct Case {
  std::string in;   // source for the Layout suite, JSON text otherwise
  std::string want; // printed text
};

class PrintCases : public ::testing::TestWithParam<Case> {};
class PrintJson : public ::testing::TestWithParam<Case> {};

TEST_P(PrintCases, Text) { EXPECT_EQ(reprint(GetParam().in), GetParam().want) << GetParam().in; }

TEST_P(PrintJson, Text) {
  EXPECT_EQ(print::format(Value::parse(GetParam().in)), GetParam().want) << GetParam().in;
}

INSTANTIATE_TEST_SUITE_P(
    Layout, PrintCases,
    ::testing::Values(
        Case{"sma(close, 5)", "sma(close, 5)"}, Case{"average(close, 5)", "sma(close, 5)"},
        Case{"stoch_d(high, low, close, 14, d=3)", "stoch_d(high, low, close, 14, d=3)"},
        Case{"rank(sma(close, 5))", "rank(\n  sma(close, 5)\n)"},
        Case{"rank(ema(sma(close, 5), 3))", "rank(\n  ema(\n    sma(close, 5),\n    3\n  )\n)"},
        Case{"mask(close, close > 0)", "mask(\n  close,\n  (close > 0)\n)"},
        Case{"groupby_category(x, \"mean\")", "groupby_category(x, \"mean\")"},
        Case{"rebalance(x, freq=\"ME\")", "rebalance(x, freq=\"ME\")"},
        Case{"rebalance(x, on=is_entry(y))", "rebalance(\n  x,\n  on=is_entry(y)\n)"},
        Case{"neutralize(x, [a, b])", "neutralize(x, by=[a, b])"},
        Case{"neutralize(x, by=[a, -b], add_const=false)",
             "neutralize(\n  x,\n  by=[a, (-b)],\n  add_const=false\n)"},
        Case{"hold_until(a, b, stop_loss=0.1)", "hold_until(a, b, stop_loss=0.1)"},
        Case{"hold_until(a, b, 5, rank=c)", "hold_until(a, b, nstocks_limit=5, rank=c)"},
        Case{"industry_rank(x, categories=[\"a b\", 1, 2.5, true])",
             "industry_rank(x, categories=[\"a b\", 1, 2.5, true])"},
        Case{"rank(x, ascending=false, pct=true)", "rank(x, pct=true, ascending=false)"},
        Case{"sustain(x, 10, 3)", "sustain(x, 10, nsatisfy=3)"}, Case{"-a + b", "(-(a + b))"},
        Case{"not a and b", "((not a) and b)"}, Case{"a - (b - c) * 2", "(a - ((b - c) * 2))"},
        Case{"-5", "(-5)"}, Case{"ceil(rank(sma(x, 2)))", "ceil(rank(\n  sma(x, 2)\n))"},
        Case{"x + rank(sma(x, 2))", "(x + rank(\n  sma(x, 2)\n))"},
        Case{"close + 9.007e15 + 1e20 + 0.001", "(((close + 9.007e+15) + 1e+20) + 0.001)"},
        Case{"let k = 20 k", "20"}));

INSTANTIATE_TEST_SUITE_P(
    Literals, PrintJson,
    ::testing::Values(Case{"5", "5"}, Case{"-3", "-3"}, Case{"2.5", "2.5"}, Case{"1.0", "1.0"},
                      Case{"18446744073709551615", "18446744073709551615"}, Case{"\"x\"", "\"x\""},
                      Case{R"("a\"b")", "\"a\"b\""}, Case{"null", "null"}, Case{"true", "true"},
                      Case{"false", "false"}, Case{"[1, 2]", "[1,2]"},
                      Case{R"({"b": [1, "x"], "a": null})", R"({"a":null,"b":[1,"x"]})"},
                      Case{R"({"op": 5})", R"({"op":5})"},
                      Case{R"({"op": "Const", "value": 2.5})", "2.5"},
                      Case{R"({"op": "Const", "value": "s"})", "\"s\""},
                      Case{R"({"op": "Neg", "of": {"op": "Const", "value": 5}})", "(-5)"}));

INSTANTIATE_TEST_SUITE_P(
    Malformed, PrintJson,
    ::testing::Values(
        Case{R"({"op": "Data", "name": "a b"})", "a b"}, Case{R"({"op": "Data"})", "?"},
        Case{R"({"op": "Data", "name": 3})", "?"}, Case{R"({"op": "Neg"})", "(-null)"},
        Case{R"({"op": "Not", "of": 1})", "(not 1)"}, Case{R"({"op": "Const"})", "null"},
        Case{R"({"op": "Ceil"})", "ceil(null)"},
        Case{R"({"op": "Add", "l": {"op": "Data", "name": "a"}})", "(a + null)"},
        Case{R"({"op": "Average", "n": 5})", "sma(n=5)"},
        Case{R"({"op": "Average", "of": null, "n": "x"})", "sma(null, \"x\")"},
        Case{R"({"op": "Neutralize", "of": {"op": "Data", "name": "x"}, "by": 3})",
             "neutralize(x, by=[])"},
        Case{R"({"op": "IndustryRank", "categories": {"a": 1}})", "industry_rank(categories=[])"},
        Case{
            R"({"op": "IndustryRank", "of": {"op":"Data","name":"x"}, "categories": [{"op":"Data","name":"y"}]})",
            R"(industry_rank(x, categories=[{"name":"y","op":"Data"}]))"},
        Case{R"({"op": "Foo", "of": 1})", "(/* unprintable op Foo */)"},
        Case{R"({"op": "average", "of": 1})", "(/* unprintable op average */)"},
        Case{R"({"op": "Mask", "of": {"op": "Foo"}, "by": [1]})",
             "mask(\n  (/* unprintable op Foo */),\n  [1]\n)"}));

TEST(Print, FormatAtIndentsNestedCalls) {
  auto v = parse::parse("rank(sma(x, 2))");
  ASSERT_TRUE(v);
  EXPECT_EQ(print::format_at(*v, 2), "rank(\n      sma(x, 2)\n    )");
}

TEST(Print, LiteralStringsAreNotEscaped) {
  EXPECT_EQ(print::literal(Value("a\nb\\")), "\"a\nb\\\"");
  EXPECT_EQ(print::literal(Value(std::string("\xff"))), "\"\xff\"");
  // Compact JSON of a container with invalid UTF-8 does not throw.
  EXPECT_EQ(print::literal(Value::array({std::string("\xff")})), "[\"\xEF\xBF\xBD\"]");
}

TEST(Print, OptStrListWithExpressionDoesNotRoundTrip) {
  auto v = parse::parse("industry_rank(x, categories=[y])");
  ASSERT_TRUE(v);
  const std::string text = print::format(*v);
  EXPECT_EQ(text, R"(industry_rank(x, categories=[{"name":"y","op":"Data"}]))");
  EXPECT_FALSE(parse::parse(text));
}

// Random well-formed source: bindings, prefix and infix forms, literals, calls of every row with
// positional, keyword and list arguments, comments and odd spacing.
class Gen {
public:
  explicit Gen(std::uint32_t seed) : rng_(seed) {}

  std::string program() {
    std::string src;
    names_.clear();
    const int lets = pick(4);
    for (int i = 0; i < lets; ++i) {
      const std::string name = "v" + std::to_string(i);
      src += "let " + name + " =" + space() + expr(3) + space() + "\n";
      names_.push_back(name);
    }
    return src + expr(4) + (chance(4) ? " # done" : "");
  }

private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint32_t>(n)); }
  bool chance(int n) { return pick(n) == 0; }
  std::string space() {
    static const char *spaces[] = {" ", "  ", "\t", " # note\n ", "\r\n"};
    return spaces[pick(5)];
  }

  std::string number() {
    static const char *nums[] = {"0",
                                 "1",
                                 "5",
                                 "20",
                                 "1_000",
                                 "2.5",
                                 "0.1",
                                 "1.5e-3",
                                 "1e20",
                                 "3.",
                                 "1.e2",
                                 "9.007e15",
                                 "9006999999999999",
                                 "123456789.125",
                                 "7E+2"};
    return nums[pick(15)];
  }
  std::string string_lit() {
    static const char *strs[] = {
        "\"ME\"",        "\"W\"",           "\"a b\"",          "\"\"",
        "\"tab\there\"", "\"line\nbreak\"", "\"\xE4\xB8\xAD\"", "\"back\\slash\""};
    return strs[pick(8)];
  }
  std::string ident() {
    static const char *series[] = {"close", "high", "low", "volume", "sma",
                                   "x_1",   "_y",   "and", "or",     "letx"};
    if (!names_.empty() && chance(3))
      return names_[static_cast<std::size_t>(pick(static_cast<int>(names_.size())))];
    return series[pick(10)];
  }

  std::string expr(int depth) {
    const int choice = depth <= 0 ? pick(2) : pick(9);
    switch (choice) {
    case 0:
      return ident();
    case 1:
      return depth <= 0 ? ident() : "(" + number() + ")";
    case 2:
      return "-" + expr(depth - 1);
    case 3:
      return "not " + expr(depth - 1);
    case 4:
    case 5: {
      static const char *opers[] = {"+", "-", "*", "/", "<", ">", "<=", ">=", "and", "or"};
      const std::string rhs = chance(3) ? number() : expr(depth - 1);
      return expr(depth - 1) + space() + opers[pick(10)] + space() + rhs;
    }
    case 6:
      return "(" + expr(depth - 1) + ")";
    default:
      return call(depth - 1);
    }
  }

  std::string arg(ops::ParamKind k, int depth) {
    using K = ops::ParamKind;
    switch (k) {
    case K::Expr:
    case K::OptExpr:
      return expr(depth);
    case K::ExprList: {
      std::string s = "[";
      const int n = pick(4);
      for (int i = 0; i < n; ++i)
        s += expr(depth) + (i + 1 < n ? (chance(2) ? ", " : " ") : (chance(3) ? "," : ""));
      return s + "]";
    }
    case K::Number:
    case K::OptNumber:
      return number();
    case K::OptBool:
      return chance(2) ? "true" : "false";
    case K::Str:
    case K::OptStr:
      return string_lit();
    case K::OptStrList: {
      std::string s = "[";
      const int n = pick(4);
      for (int i = 0; i < n; ++i)
        s += (chance(2) ? string_lit() : chance(2) ? number() : "true") + std::string(", ");
      return s + "]";
    }
    }
    return {};
  }

  std::string call(int depth) {
    const ops::OpSpec &row = ops::OP_TABLE[static_cast<std::size_t>(pick(38))];
    const auto &alias =
        row.aliases[static_cast<std::size_t>(pick(static_cast<int>(row.aliases.size())))];
    std::vector<std::string> positional, keywords;
    bool keyword = false;
    for (const ops::ParamSpec &p : row.params) {
      if (!ops::required(p.kind) && chance(2)) {
        keyword = true;
        continue;
      }
      const std::string a = arg(p.kind, depth);
      keyword = keyword || chance(4);
      if (keyword)
        keywords.push_back(std::string(p.name) + "=" + a);
      else
        positional.push_back(a);
    }
    std::shuffle(keywords.begin(), keywords.end(), rng_);
    std::string s = std::string(alias) + "(";
    positional.insert(positional.end(), keywords.begin(), keywords.end());
    for (std::size_t i = 0; i < positional.size(); ++i)
      s += (i ? "," + space() : "") + positional[i];
    return s + (chance(4) && !positional.empty() ? ",)" : ")");
  }

  std::mt19937 rng_;
  std::vector<std::string> names_;
};

TEST(Print, GeneratedSourcesRoundTrip) {
  Gen gen(20260101);
  int parsed = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string src = gen.program();
    auto first = parse::parse(src);
    if (!first)
      continue; // for example a bare constant or a boolean operand
    ++parsed;
    const std::string text = print::format(*first);
    if ((*first)["op"] == "Const") {
      // A strategy that is a bound constant prints as a bare number, which no strategy may be.
      EXPECT_FALSE(parse::parse(text));
      continue;
    }
    auto again = parse::parse(text);
    ASSERT_TRUE(again) << src << "\n--- printed ---\n"
                       << text << "\n--- error ---\n"
                       << again.error().to_string();
    ASSERT_EQ(again->dump(), first->dump()) << src << "\n--- printed ---\n" << text;
    ASSERT_EQ(print::format(*again), text);
  }
  EXPECT_GT(parsed, 1500) << parsed;
}

} // namespace
