#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "quaro/dsl/lex.hpp"

using namespace quaro;

namespace {

// Tokens as "Debug@line:col" joined by spaces, or the error's display text.
std::string scan(std::string_view src) {
  auto r = lex::lex(src);
  if (!r)
    return r.error().to_string();
  std::string out;
  for (const Token &t : *r) {
    if (!out.empty())
      out += ' ';
    out += lex::debug(t) + "@" + std::to_string(t.line) + ":" + std::to_string(t.col);
  }
  return out;
}

struct Case {
  std::string src;
  std::string want;
};

class LexCases : public ::testing::TestWithParam<Case> {};

TEST_P(LexCases, Tokens) { EXPECT_EQ(scan(GetParam().src), GetParam().want); }

INSTANTIATE_TEST_SUITE_P(
    Positions, LexCases,
    ::testing::Values(Case{"", "Eof@1:1"}, Case{"   ", "Eof@1:4"},
                      Case{"x\n", R"(Ident("x")@1:1 Eof@2:1)"},
                      Case{"x # note", R"(Ident("x")@1:1 Eof@1:3)"}, Case{"# only", "Eof@1:1"},
                      Case{"a\r\nb", R"(Ident("a")@1:1 Ident("b")@2:1)"
                                     " Eof@2:2"},
                      Case{"a #c\n  b", R"(Ident("a")@1:1 Ident("b")@2:3 Eof@2:4)"},
                      Case{"\"\xC3\xA9\" +", R"(Str("é")@1:1 Op("+")@1:5 Eof@1:6)"},
                      Case{"\"\xE4\xB8\xAD\xE6\x96\x87\" x",
                           R"(Str("中文")@1:1 Ident("x")@1:6 Eof@1:7)"},
                      Case{"\"a\nb\" c", R"(Str("a\nb")@1:1 Ident("c")@1:7 Eof@1:8)"},
                      Case{"\"a\\b\"", R"(Str("a\\b")@1:1 Eof@1:6)"},
                      Case{"\t(x)", R"(LParen@1:2 Ident("x")@1:3 RParen@1:4 Eof@1:5)"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, LexCases,
    ::testing::Values(
        Case{"1_000", "Num(1000.0)@1:1 Eof@1:6"}, Case{"1.5e-3", "Num(0.0015)@1:1 Eof@1:7"},
        Case{"2E5", "Num(200000.0)@1:1 Eof@1:4"},
        Case{"2e", R"(Num(2.0)@1:1 Ident("e")@1:2 Eof@1:3)"},
        Case{"3E+", R"(Num(3.0)@1:1 Ident("E")@1:2 Op("+")@1:3 Eof@1:4)"},
        Case{"1.", "Num(1.0)@1:1 Eof@1:3"}, Case{"1.e5", "Num(100000.0)@1:1 Eof@1:5"},
        Case{"1.2.3", "1:1: invalid number `1.2.3`"},
        Case{"x 1e5.2", "1:3: invalid number `1e5.2`"},
        Case{"1E2e3", "1:1: invalid number `1e2e3`"},
        Case{"1_0E+1_0", "Num(100000000000.0)@1:1 Eof@1:9"}, Case{"1e999", "Num(inf)@1:1 Eof@1:6"},
        Case{"0.1e-400", "Num(0.0)@1:1 Eof@1:9"}, Case{"1e-310", "Num(1e-310)@1:1 Eof@1:7"},
        Case{"3e-324", "Num(5e-324)@1:1 Eof@1:7"},
        Case{"0x10", R"(Num(0.0)@1:1 Ident("x10")@1:2 Eof@1:5)"},
        Case{"0.1", "Num(0.1)@1:1 Eof@1:4"},
        Case{"9007199254740993", "Num(9007199254740992.0)@1:1 Eof@1:17"},
        Case{".5", "1:1: unexpected character `.`"}));

INSTANTIATE_TEST_SUITE_P(
    Operators, LexCases,
    ::testing::Values(
        Case{"<= >=", R"(Op("<=")@1:1 Op(">=")@1:4 Eof@1:6)"},
        Case{"=<", R"(Eq@1:1 Op("<")@1:2 Eof@1:3)"}, Case{"==", "Eq@1:1 Eq@1:2 Eof@1:3"},
        Case{"a<b", R"(Ident("a")@1:1 Op("<")@1:2 Ident("b")@1:3 Eof@1:4)"},
        Case{"[,]", "LBracket@1:1 Comma@1:2 RBracket@1:3 Eof@1:4"},
        Case{"let letx let_ _1",
             R"(Let@1:1 Ident("letx")@1:5 Ident("let_")@1:10 Ident("_1")@1:15 Eof@1:17)"},
        Case{"and not true", R"(Ident("and")@1:1 Ident("not")@1:5 Ident("true")@1:9 Eof@1:13)"}));

INSTANTIATE_TEST_SUITE_P(
    Failures, LexCases,
    ::testing::Values(Case{"a != b", "1:3: unexpected character `!`"},
                      Case{"a && b", "1:3: unexpected character `&`"},
                      Case{"\n  \xC3\xA9", "2:3: unexpected character `\xC3\xA9`"},
                      Case{"x\xff", "1:2: unexpected character `\\xff`"},
                      Case{"\"ab\xC3\"", "1:4: unexpected character `\\xc3`"},
                      Case{"\xED\xA0\x80", "1:1: unexpected character `\\xed`"},
                      Case{"# \xff\nx", R"(Ident("x")@2:1 Eof@2:2)"},
                      Case{std::string("a\0b", 3),
                           std::string("1:2: unexpected character `\0`", 29)},
                      Case{std::string("\"a\0b\"", 5), R"(Str("a\0b")@1:1 Eof@1:6)"},
                      Case{"\x0b", "1:1: unexpected character `\x0b`"},
                      Case{"x \"", "1:3: unterminated string"},
                      Case{"\n \"abc\ndef", "2:2: unterminated string"}));

TEST(Lex, DebugFormsOfPayloadKinds) {
  Token t{TokenKind::Str, 0, "a\"b\\c\n", 1, 1};
  EXPECT_EQ(lex::debug(t), R"(Str("a\"b\\c\n"))");
  t = Token{TokenKind::Num, 1e300, "", 1, 1};
  EXPECT_EQ(lex::debug(t), "Num(1e300)");
  t = Token{TokenKind::Num, 2.5, "", 1, 1};
  EXPECT_EQ(lex::debug(t), "Num(2.5)");
}

TEST(Lex, LongInputsStayWithinBounds) {
  const std::string ident(100000, 'a');
  auto r = lex::lex(ident);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->front().text.size(), ident.size());
  EXPECT_EQ(r->back().col, ident.size() + 1);

  // A literal of many digits is still converted with correct rounding.
  const std::string digits = "1" + std::string(400, '0');
  auto n = lex::lex(digits);
  ASSERT_TRUE(n);
  EXPECT_TRUE(std::isinf(n->front().num));
  auto m = lex::lex("0." + std::string(400, '0') + "1");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->front().num, 0.0);
  auto s = lex::lex("\"" + std::string(100000, 'z'));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().to_string(), "1:1: unterminated string");
}

} // namespace
