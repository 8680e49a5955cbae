#include <string>

#include <gtest/gtest.h>

#include "quaro/json.hpp"
#include "quaro/spec.hpp"

using namespace quaro::spec;

namespace {

// A compact rendering of a tree: Op(field=value,...), "-" for an absent optional.
std::string show(const Expr &e) {
  const OpDef &def = op_def(e.op);
  std::string out = std::string(def.name) + "(";
  for (std::size_t k = 0; k < e.fields.size(); ++k) {
    if (k)
      out += ",";
    out += std::string(def.fields[k].name) + "=";
    const auto &v = e.fields[k];
    if (std::holds_alternative<std::monostate>(v))
      out += "-";
    else if (auto *p = std::get_if<std::unique_ptr<Expr>>(&v))
      out += show(**p);
    else if (auto *l = std::get_if<std::vector<Expr>>(&v)) {
      out += "[";
      for (std::size_t j = 0; j < l->size(); ++j)
        out += (j ? "," : "") + show((*l)[j]);
      out += "]";
    } else if (auto *u = std::get_if<std::uint64_t>(&v))
      out += std::to_string(*u);
    else if (auto *d = std::get_if<double>(&v))
      out += quaro::Value(*d).dump();
    else if (auto *b = std::get_if<bool>(&v))
      out += *b ? "true" : "false";
    else if (auto *s = std::get_if<std::string>(&v))
      out += quaro::Value(*s).dump();
    else
      out += quaro::Value(std::get<std::vector<std::string>>(v)).dump();
  }
  return out + ")";
}

struct Case {
  std::string text;
  std::string expected; // the rendered tree, or the error message
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.text; }

class ReadsTree : public testing::TestWithParam<Case> {};

TEST_P(ReadsTree, Builds) {
  auto r = read_expr(GetParam().text);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(show(*r), GetParam().expected);
}

class RejectsTree : public testing::TestWithParam<Case> {};

TEST_P(RejectsTree, FailsWithMessage) {
  auto r = read_expr(GetParam().text);
  ASSERT_FALSE(r.has_value()) << show(*r);
  EXPECT_EQ(r.error(), GetParam().expected);
}

const std::string kClose = R"({"op":"Data","name":"close"})";
const std::string kDataClose = R"(Data(name="close"))";

std::string all_ops() {
  std::string s = "one of ";
  for (std::size_t k = 0; k < kOpCount; ++k)
    s += std::string(k ? ", `" : "`") + std::string(op_table()[k].name) + "`";
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    ObjectForm, ReadsTree,
    testing::Values(
        Case{R"({"n":14,"of":{"name":"close","op":"Data"},"op":"Rsi"})",
             "Rsi(of=" + kDataClose + ",n=14)"},
        Case{R"({"op":"Rsi","of":)" + kClose + R"(,"n":14})", "Rsi(of=" + kDataClose + ",n=14)"},
        Case{R"({"op":"Data","name":"x","extra":[1,"a",null,{"op":9}],"x":null,"x":1})",
             R"(Data(name="x"))"},
        Case{R"({"o\u0070":"Data","n\u0061me":"\u00e9"})", "Data(name=\"\xc3\xa9\")"},
        Case{R"({"op":"Const","value":3})", "Const(value=3.0)"},
        Case{R"({"op":"Const","value":-2})", "Const(value=-2.0)"},
        Case{R"({"op":"Const","value":18446744073709551615})",
             "Const(value=1.8446744073709552e+19)"},
        Case{R"({"op":"Const","value":1e-3})", "Const(value=0.001)"},
        Case{R"({"op":"Average","of":)" + kClose + R"(,"n":18446744073709551615})",
             "Average(of=" + kDataClose + ",n=18446744073709551615)"},
        Case{R"({"op":"StochD","high":)" + kClose + R"(,"low":)" + kClose + R"(,"close":)" +
                 kClose + R"(,"n":9})",
             "StochD(high=" + kDataClose + ",low=" + kDataClose + ",close=" + kDataClose +
                 ",n=9,d=3)"},
        Case{R"({"op":"Rank","of":)" + kClose + "}",
             "Rank(of=" + kDataClose + ",pct=true,ascending=true)"},
        Case{R"({"op":"Rank","of":)" + kClose + R"(,"ascending":false})",
             "Rank(of=" + kDataClose + ",pct=true,ascending=false)"},
        Case{R"({"op":"Neutralize","of":)" + kClose + R"(,"by":[]})",
             "Neutralize(of=" + kDataClose + ",by=[],add_const=true)"},
        Case{R"({"op":"Neutralize","of":)" + kClose + R"(,"by":[)" + kClose +
                 R"(,["Const",1]],"add_const":false})",
             "Neutralize(of=" + kDataClose + ",by=[" + kDataClose +
                 ",Const(value=1.0)],add_const=false)"},
        Case{R"({"op":"NeutralizeIndustry","of":)" + kClose + "}",
             "NeutralizeIndustry(of=" + kDataClose + ",add_const=true)"},
        Case{R"({"op":"Sustain","of":)" + kClose + R"(,"nwindow":5,"nsatisfy":null})",
             "Sustain(of=" + kDataClose + ",nwindow=5,nsatisfy=-)"},
        Case{R"({"op":"Rebalance","of":)" + kClose + R"(,"freq":null,"on":null})",
             "Rebalance(of=" + kDataClose + ",freq=-,on=-)"},
        Case{R"({"op":"Rebalance","of":)" + kClose + R"(,"freq":"M"})",
             "Rebalance(of=" + kDataClose + ",freq=\"M\",on=-)"},
        Case{R"({"op":"IndustryRank","of":)" + kClose + R"(,"categories":null})",
             "IndustryRank(of=" + kDataClose + ",categories=-)"},
        Case{R"({"op":"IndustryRank","of":)" + kClose + R"(,"categories":["a","b"]})",
             "IndustryRank(of=" + kDataClose + ",categories=[\"a\",\"b\"])"},
        Case{R"({"op":"HoldUntil","entry":)" + kClose + R"(,"exit":)" + kClose + "}",
             "HoldUntil(entry=" + kDataClose + ",exit=" + kDataClose +
                 ",nstocks_limit=-,rank=-,stop_loss=-,take_profit=-,trail_stop=-,"
                 "trail_stop_activation=-)"},
        Case{R"({"op":"HoldUntil","entry":)" + kClose + R"(,"exit":)" + kClose +
                 R"(,"rank":null,"nstocks_limit":10,"stop_loss":-0.1,"trail_stop":null})",
             "HoldUntil(entry=" + kDataClose + ",exit=" + kDataClose +
                 ",nstocks_limit=10,rank=-,stop_loss=-0.1,take_profit=-,trail_stop=-,"
                 "trail_stop_activation=-)"},
        // A nested operator may be an index.
        Case{R"({"op":"Neg","of":{"op":5,"of":{"op":0,"name":"close"},"n":14}})",
             "Neg(of=Rsi(of=" + kDataClose + ",n=14))"},
        Case{R"({"op":"Neg","of":{"op":51,"of":[0,"x"],"agg":"mean"}})",
             "Neg(of=GroupbyCategory(of=Data(name=\"x\"),agg=\"mean\"))"}));

INSTANTIATE_TEST_SUITE_P(
    ArrayForm, ReadsTree,
    testing::Values(
        Case{R"(["Data","close"])", kDataClose},
        Case{R"( [ "Average" , ["Data","close"] , 5 ] )", "Average(of=" + kDataClose + ",n=5)"},
        Case{R"({"op":"Neg","of":["Data","close"]})", "Neg(of=" + kDataClose + ")"},
        Case{R"(["Rank",["Data","close"]])", "Rank(of=" + kDataClose + ",pct=true,ascending=true)"},
        Case{R"(["Sustain",["Data","close"],3])",
             "Sustain(of=" + kDataClose + ",nwindow=3,nsatisfy=-)"},
        Case{R"(["Rebalance",["Data","close"]])", "Rebalance(of=" + kDataClose + ",freq=-,on=-)"},
        Case{R"(["StochD",[0,"h"],[0,"l"],[0,"c"],9])",
             R"(StochD(high=Data(name="h"),low=Data(name="l"),close=Data(name="c"),n=9,d=3))"},
        Case{R"(["HoldUntil",[0,"a"],[0,"b"],null,null])",
             R"(HoldUntil(entry=Data(name="a"),exit=Data(name="b"),nstocks_limit=-,rank=-,)"
             R"(stop_loss=-,take_profit=-,trail_stop=-,trail_stop_activation=-))"},
        Case{R"(["HoldUntil",[0,"a"],[0,"b"],3,[0,"r"],-0.05])",
             R"(HoldUntil(entry=Data(name="a"),exit=Data(name="b"),nstocks_limit=3,)"
             R"(rank=Data(name="r"),stop_loss=-0.05,take_profit=-,trail_stop=-,)"
             R"(trail_stop_activation=-))"}));

INSTANTIATE_TEST_SUITE_P(
    Fields, RejectsTree,
    testing::Values(
        Case{R"({"op":"Data","name":"a","name":[1,{"x":null}]})", "duplicate field `name`"},
        Case{R"({"op":"Average","of":)" + kClose + "}", "missing field `n`"},
        Case{R"({"op":"Average"})", "missing field `of`"},
        Case{R"({"op":"Average","n":"x"})", "invalid type: string \"x\", expected usize"},
        Case{R"({"op":"Average","of":)" + kClose + R"(,"n":5.0})",
             "invalid type: floating point `5.0`, expected usize"},
        Case{R"({"op":"Average","of":)" + kClose + R"(,"n":-1})",
             "invalid value: integer `-1`, expected usize"},
        Case{R"({"op":"Average","of":)" + kClose + R"(,"n":-0})",
             "invalid type: floating point `-0.0`, expected usize"},
        Case{R"({"op":"Average","of":)" + kClose + R"(,"n":1e300})",
             "invalid type: floating point `1e+300`, expected usize"},
        Case{R"({"op":"Sustain","of":)" + kClose + R"(,"nwindow":2,"nsatisfy":true})",
             "invalid type: boolean `true`, expected usize"},
        Case{R"({"op":"Const","value":"1"})", "invalid type: string \"1\", expected f64"},
        Case{R"({"op":"Const","value":null})", "invalid type: null, expected f64"},
        Case{R"({"op":"Rank","of":)" + kClose + R"(,"pct":1})",
             "invalid type: integer `1`, expected a boolean"},
        Case{R"({"op":"Data","name":{}})", "invalid type: map, expected a string"},
        Case{R"({"op":"Rebalance","of":)" + kClose + R"(,"freq":[]})",
             "invalid type: sequence, expected a string"},
        Case{R"({"op":"IndustryRank","of":)" + kClose + R"(,"categories":"a"})",
             "invalid type: string \"a\", expected a sequence"},
        Case{R"({"op":"IndustryRank","of":)" + kClose + R"(,"categories":["a",2]})",
             "invalid type: integer `2`, expected a string"},
        Case{R"({"op":"Neutralize","of":)" + kClose + R"(,"by":{}})",
             "invalid type: map, expected a sequence"},
        Case{R"({"op":"Neutralize","of":)" + kClose + R"(,"by":[)" + kClose + R"(,"x"]})",
             "invalid type: string \"x\", expected internally tagged enum Expr"},
        Case{R"({"op":"Neg","of":null})",
             "invalid type: null, expected internally tagged enum Expr"},
        Case{R"({"op":"Neg","of":"close"})",
             "invalid type: string \"close\", expected internally tagged enum Expr"},
        Case{R"({"op":"Neg","of":"a\"\\\n\t\u0001\u007f\u0085é"})",
             "invalid type: string \"a\\\"\\\\\\n\\t\\u{1}\\u{7f}\\u{85}\xc3\xa9\", expected "
             "internally tagged enum Expr"},
        Case{R"({"op":"Rank","of":{"op":"Neg"},"pct":5})", "missing field `of`"},
        // The first failing field in document order wins; missing fields come after.
        Case{R"({"op":"Average","n":-1,"of":5})", "invalid value: integer `-1`, expected usize"},
        // A field error wins over trailing garbage.
        Case{R"({"op":"Average","n":1} x)", "missing field `of`"}));

INSTANTIATE_TEST_SUITE_P(
    NestedOperator, RejectsTree,
    testing::Values(
        Case{R"({"op":"Neg","of":{"op":52}})",
             "invalid value: integer `52`, expected variant index 0 <= i < 52"},
        Case{R"({"op":"Neg","of":{"op":-1}})",
             "invalid type: integer `-1`, expected variant identifier"},
        Case{R"({"op":"Neg","of":{"op":0.0}})",
             "invalid type: floating point `0.0`, expected variant identifier"},
        Case{R"({"op":"Neg","of":{"op":null,"name":"x"}})",
             "invalid type: null, expected variant identifier"},
        Case{R"({"op":"Neg","of":{"op":"rsi"}})", "unknown variant `rsi`, expected " + all_ops()},
        Case{R"({"op":"Neg","of":{"name":"x"}})", "missing field `op`"},
        Case{R"({"op":"Neg","of":{"name":5,"op":"Data","op":"Data"}})", "duplicate field `op`"},
        Case{R"({"op":"Neg","of":{"op":"x","op":"Data"}})",
             "unknown variant `x`, expected " + all_ops()},
        Case{R"({"op":"Neg","of":[]})", "missing field `op`"},
        Case{R"({"op":"Neg","of":[52,"x"]})",
             "invalid value: integer `52`, expected variant index 0 <= i < 52"}));

INSTANTIATE_TEST_SUITE_P(
    ArrayLength, RejectsTree,
    testing::Values(
        Case{R"({"op":"Neg","of":["Data","close","x"]})",
             "invalid length 2, expected 1 element in sequence"},
        Case{R"(["Data"])", "invalid length 0, expected struct variant Expr::Data with 1 element"},
        Case{R"(["Average",["Data","close"]])",
             "invalid length 1, expected struct variant Expr::Average with 2 elements"},
        Case{R"(["Average",["Data","close"],1,2,3])",
             "invalid length 4, expected 2 elements in sequence"},
        Case{R"(["Average",["Data","close"],-1,2,3])",
             "invalid value: integer `-1`, expected usize"},
        Case{R"(["HoldUntil",["Data","a"],["Data","b"]])",
             "invalid length 2, expected struct variant Expr::HoldUntil with 8 elements"},
        Case{R"(["HoldUntil",["Data","a"],["Data","b"],null])",
             "invalid length 3, expected struct variant Expr::HoldUntil with 8 elements"},
        Case{R"(["HoldUntil",[0,"a"],[0,"b"],null,null,1,2,3,4,5])",
             "invalid length 9, expected 8 elements in sequence"}));

INSTANTIATE_TEST_SUITE_P(
    TopLevel, RejectsTree,
    testing::Values(
        Case{"", "EOF while parsing a value at line 1 column 0"},
        Case{R"({"op":"rsi","of":{},"n":14})",
             "unknown variant `rsi`, expected " + all_ops() + " at line 1 column 11"},
        Case{R"({"op":"Rsi ","n":14})",
             "unknown variant `Rsi `, expected " + all_ops() + " at line 1 column 12"},
        Case{R"({"op":5,"of":)" + kClose + R"(,"n":14})",
             "invalid type: integer `5`, expected variant identifier at line 1 column 7"},
        Case{
            R"({"op":-2.5e0})",
            "invalid type: floating point `-2.5`, expected variant identifier at line 1 column 12"},
        Case{R"({"op":[1,2]})",
             "invalid type: sequence, expected variant identifier at line 1 column 6"},
        Case{R"({"op":{"a":1}})",
             "invalid type: map, expected variant identifier at line 1 column 6"},
        Case{R"({"op":true})",
             "invalid type: boolean `true`, expected variant identifier at line 1 column 10"},
        Case{R"({"op":nul})", "expected ident at line 1 column 10"},
        Case{R"({"op":})", "expected value at line 1 column 7"},
        Case{R"([5,["Data","close"]])",
             "invalid type: integer `5`, expected variant identifier at line 1 column 2"},
        Case{R"({"of":1})", "missing field `op` at line 1 column 8"},
        Case{"{\n}", "missing field `op` at line 2 column 1"},
        Case{"[]", "missing field `op` at line 1 column 2"},
        Case{R"({"op":"Data","op":"Data"})", "duplicate field `op` at line 1 column 17"},
        Case{"null", "invalid type: null, expected internally tagged enum Expr at line 1 column 4"},
        Case{"\"x\"",
             "invalid type: string \"x\", expected internally tagged enum Expr at line 1 column 3"},
        Case{"12", "invalid type: integer `12`, expected internally tagged enum Expr at line 1 "
                   "column 2"},
        Case{R"({"op":"Data","name":"x"} x)", "trailing characters at line 1 column 26"},
        Case{R"({"op":"Data","name":"x"}{})", "trailing characters at line 1 column 25"},
        Case{"{\"op\":\"Data\",\n \"name\": \"x\",\n}", "trailing comma at line 3 column 1"},
        Case{"{\"op\":\"Data\",\"name\":\"x\"", "EOF while parsing an object at line 1 column 23"},
        Case{R"({"op":"Data","name":"\ud800"})",
             "unexpected end of hex escape at line 1 column 28"},
        Case{"{\"op\":\"Data\",\"name\":\"\xff\"}",
             "invalid unicode code point at line 1 column 23"},
        Case{R"(["Data","x",])", "trailing comma at line 1 column 13"}));

TEST(ReadExpr, TrailingWhitespaceIsAccepted) {
  auto r = read_expr(" \t" + kClose + " \r\n\n ");
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->op, Op::Data);
  EXPECT_EQ(r->text(0), "close");
}

// One nesting level per node: the top-level node is the first of 127 levels.
std::string neg_chain(int negs) {
  std::string s;
  for (int k = 0; k < negs; ++k)
    s += R"({"op":"Neg","of":)";
  s += kClose;
  return s + std::string(static_cast<std::size_t>(negs), '}');
}

TEST(ReadExpr, NestingLimit) {
  auto ok = read_expr(neg_chain(126));
  ASSERT_TRUE(ok.has_value()) << ok.error();
  const Expr *e = &*ok;
  int depth = 1;
  while (e->op == Op::Neg) {
    e = &e->expr(0);
    ++depth;
  }
  EXPECT_EQ(depth, 127);
  EXPECT_EQ(e->text(0), "close");

  auto deep = read_expr(neg_chain(127));
  ASSERT_FALSE(deep.has_value());
  EXPECT_EQ(deep.error(), "recursion limit exceeded at line 1 column " +
                              std::to_string(127 * std::string(R"({"op":"Neg","of":)").size() + 1));
  // An expr list is a level of its own.
  std::string list = R"({"op":"Neutralize","of":)" + kClose + R"(,"by":[)" + neg_chain(124) + "]}";
  EXPECT_TRUE(read_expr(list).has_value());
  list = R"({"op":"Neutralize","of":)" + kClose + R"(,"by":[)" + neg_chain(125) + "]}";
  EXPECT_NE(read_expr(list).error().find("recursion limit exceeded"), std::string::npos);
}

TEST(ReadExpr, Accessors) {
  auto r = read_expr(R"(["HoldUntil",[0,"a"],["Neutralize",[0,"b"],[[0,"c"]]],7,null,-0.1,)"
                     R"(null,0.2])");
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->op, Op::HoldUntil);
  EXPECT_EQ(r->expr(0).text(0), "a");
  const Expr &n = r->expr(1);
  EXPECT_EQ(n.op, Op::Neutralize);
  ASSERT_EQ(n.exprs(1).size(), 1u);
  EXPECT_EQ(n.exprs(1)[0].text(0), "c");
  EXPECT_TRUE(n.flag(2));
  EXPECT_EQ(r->opt_count(2), 7u);
  EXPECT_EQ(r->opt_expr(3), nullptr);
  EXPECT_EQ(r->opt_number(4), -0.1);
  EXPECT_EQ(r->opt_number(5), std::nullopt);
  EXPECT_EQ(r->opt_number(6), 0.2);
  EXPECT_EQ(r->opt_number(7), std::nullopt);

  auto ir = read_expr(R"({"op":"IndustryRank","of":{"op":"Data","name":"x"},"categories":["k"]})");
  ASSERT_TRUE(ir.has_value());
  ASSERT_NE(ir->opt_texts(1), nullptr);
  EXPECT_EQ(ir->opt_texts(1)->at(0), "k");
  auto rb = read_expr(R"(["Rebalance",[0,"x"],"W",[0,"y"]])");
  ASSERT_TRUE(rb.has_value());
  EXPECT_EQ(*rb->opt_text(1), "W");
  EXPECT_EQ(rb->opt_expr(2)->text(0), "y");
}

TEST(OpTable, NamesAndIndexesAgree) {
  for (std::size_t k = 0; k < kOpCount; ++k) {
    auto op = static_cast<Op>(k);
    EXPECT_EQ(op_from_name(op_name(op)), op);
    for (std::size_t f = 0; f < op_def(op).fields.size(); ++f)
      EXPECT_EQ(field_index(op, op_def(op).fields[f].name), f);
  }
  EXPECT_EQ(op_from_name("rsi"), std::nullopt);
  EXPECT_EQ(op_name(Op::GroupbyCategory), "GroupbyCategory");
  EXPECT_EQ(op_def(Op::HoldUntil).fields.size(), 8u);
}

} // namespace
