#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "quaro/json.hpp"

using quaro::Value;
namespace json = quaro::json;

namespace {

struct ErrorCase {
  std::string text;
  std::string message;
};

void PrintTo(const ErrorCase &c, std::ostream *os) { *os << testing::PrintToString(c.text); }

class JsonError : public testing::TestWithParam<ErrorCase> {};

TEST_P(JsonError, FailsWithMessageAndPosition) {
  const auto &c = GetParam();
  auto r = json::parse(c.text);
  ASSERT_FALSE(r.has_value()) << "accepted: " << c.text;
  EXPECT_EQ(r.error(), c.message) << "text: " << c.text;
}

std::string at(const char *msg, int line, int column) {
  return std::string(msg) + " at line " + std::to_string(line) + " column " +
         std::to_string(column);
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, JsonError,
    testing::Values(
        ErrorCase{"", at("EOF while parsing a value", 1, 0)},
        ErrorCase{"  \t", at("EOF while parsing a value", 1, 3)},
        ErrorCase{"\n", at("EOF while parsing a value", 2, 0)},
        ErrorCase{"]", at("expected value", 1, 1)}, ErrorCase{"[,1]", at("expected value", 1, 2)},
        ErrorCase{"{\"a\":}", at("expected value", 1, 6)},
        ErrorCase{"[1,2", at("EOF while parsing a list", 1, 4)},
        ErrorCase{"[1,", at("EOF while parsing a value", 1, 3)},
        ErrorCase{"{\"a\":1", at("EOF while parsing an object", 1, 6)},
        ErrorCase{"{\"a\"", at("EOF while parsing an object", 1, 4)},
        ErrorCase{"[1,]", at("trailing comma", 1, 4)},
        ErrorCase{"{\"a\":1,}", at("trailing comma", 1, 8)},
        ErrorCase{"{\"a\" 1}", at("expected `:`", 1, 6)},
        ErrorCase{"{1:2}", at("key must be a string", 1, 2)},
        ErrorCase{"{\"a\":1,2:3}", at("key must be a string", 1, 8)},
        ErrorCase{"[1 2]", at("expected `,` or `]`", 1, 4)},
        ErrorCase{"{\"a\":1 \"b\":2}", at("expected `,` or `}`", 1, 8)},
        ErrorCase{"tru", at("EOF while parsing a value", 1, 3)},
        ErrorCase{"trux", at("expected ident", 1, 4)},
        ErrorCase{"nulL", at("expected ident", 1, 4)},
        ErrorCase{"1 2", at("trailing characters", 1, 3)},
        ErrorCase{"[1]\n x", at("trailing characters", 2, 2)},
        // Numbers.
        ErrorCase{"01", at("invalid number", 1, 2)},
        ErrorCase{"-", at("EOF while parsing a value", 1, 1)},
        ErrorCase{"-a", at("invalid number", 1, 2)},
        ErrorCase{"1.", at("EOF while parsing a value", 1, 2)},
        ErrorCase{"1.a", at("invalid number", 1, 3)},
        ErrorCase{"1e", at("EOF while parsing a value", 1, 2)},
        ErrorCase{"1e+", at("EOF while parsing a value", 1, 3)},
        ErrorCase{"1ea", at("invalid number", 1, 3)}, ErrorCase{"+1", at("expected value", 1, 1)},
        ErrorCase{"1e400", at("number out of range", 1, 5)},
        ErrorCase{"[-1.5e309]", at("number out of range", 1, 9)},
        ErrorCase{"1" + std::string(400, '0'), at("number out of range", 1, 401)},
        ErrorCase{"1e99999999999", at("number out of range", 1, 12)},
        // Strings.
        ErrorCase{"\"abc", at("EOF while parsing a string", 1, 4)},
        ErrorCase{"\"\\x\"", at("invalid escape", 1, 3)},
        ErrorCase{"\"\\u12\"", at("EOF while parsing a string", 1, 6)},
        ErrorCase{"\"\\u12G4\"", at("invalid escape", 1, 6)},
        ErrorCase{"\"\\uDC00\"", at("lone leading surrogate in hex escape", 1, 7)},
        ErrorCase{"\"\\uD800\\u0041\"", at("lone leading surrogate in hex escape", 1, 13)},
        ErrorCase{"\"\\uD800\"", at("unexpected end of hex escape", 1, 8)},
        ErrorCase{"\"\\uD800\\n\"", at("unexpected end of hex escape", 1, 9)},
        ErrorCase{"\"\\uD800", at("EOF while parsing a string", 1, 7)},
        ErrorCase{std::string("\"a\x01\""),
                  at("control character (\\u0000-\\u001F) found while parsing a string", 1, 3)},
        ErrorCase{"\"a\nb\"",
                  at("control character (\\u0000-\\u001F) found while parsing a string", 2, 0)},
        ErrorCase{"\"\xff\"", at("invalid unicode code point", 1, 3)},
        ErrorCase{"\"\xc0\xaf\"", at("invalid unicode code point", 1, 4)},
        ErrorCase{"\"\xed\xa0\x80\"", at("invalid unicode code point", 1, 5)},
        ErrorCase{"\xef\xbb\xbf{}", at("expected value", 1, 1)},
        ErrorCase{std::string("[\0]", 3), at("expected value", 1, 2)},
        // Positions on multi-line text: columns count bytes from the start of the line.
        ErrorCase{"{\n  \"a\": 1,\n  \"b\" 2\n}", at("expected `:`", 3, 7)},
        ErrorCase{"[\r\n1,\r\n\"\xc3\xa9\" 3]", at("expected `,` or `]`", 3, 6)},
        ErrorCase{"{\"k\":\n\n   [1,\n    }", at("expected value", 4, 5)}));

TEST(Json, NestingLimitIs127Levels) {
  std::string ok = std::string(127, '[') + std::string(127, ']');
  ASSERT_TRUE(json::parse(ok).has_value());
  std::string deep = std::string(128, '[') + std::string(128, ']');
  auto r = json::parse(deep);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), at("recursion limit exceeded", 1, 128));
  // Far deeper input fails the same way instead of exhausting the stack.
  std::string huge(1'000'000, '{');
  EXPECT_EQ(json::parse(std::string(1'000'000, '[')).error(),
            at("recursion limit exceeded", 1, 128));
  EXPECT_EQ(json::parse("{\"a\":" + huge).error(), at("key must be a string", 1, 7));
}

struct NumberCase {
  std::string text;
  Value::value_t type;
  std::string dumped;
};

void PrintTo(const NumberCase &c, std::ostream *os) { *os << c.text; }

class JsonNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(JsonNumber, KeepsKindAndValue) {
  const auto &c = GetParam();
  auto r = json::parse(c.text);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->type(), c.type) << c.text;
  EXPECT_EQ(r->dump(), c.dumped) << c.text;
}

using T = Value::value_t;
INSTANTIATE_TEST_SUITE_P(
    Numbers, JsonNumber,
    testing::Values(
        NumberCase{"0", T::number_unsigned, "0"},
        NumberCase{"18446744073709551615", T::number_unsigned, "18446744073709551615"},
        NumberCase{"18446744073709551616", T::number_float, "1.8446744073709552e+19"},
        NumberCase{"-1", T::number_integer, "-1"},
        NumberCase{"-9223372036854775808", T::number_integer, "-9223372036854775808"},
        NumberCase{"-9223372036854775809", T::number_float, "-9.223372036854776e+18"},
        NumberCase{"-0", T::number_float, "-0.0"}, NumberCase{"5.0", T::number_float, "5.0"},
        NumberCase{"1E2", T::number_float, "100.0"}, NumberCase{"-0.0e-5", T::number_float, "-0.0"},
        NumberCase{"1e-400", T::number_float, "0.0"},
        NumberCase{"-1e-99999999999", T::number_float, "-0.0"},
        NumberCase{"0e99999999999", T::number_float, "0.0"},
        NumberCase{"0.1", T::number_float, "0.1"},
        NumberCase{"1.7976931348623157e308", T::number_float, "1.7976931348623157e+308"},
        NumberCase{"4.9e-324", T::number_float, "5e-324"},
        // Correct rounding where naive digit accumulation is off by one unit.
        NumberCase{"9007199254740993", T::number_unsigned, "9007199254740993"},
        NumberCase{"9007199254740993.0", T::number_float, "9.007199254740992e+15"},
        NumberCase{"2.2250738585072011e-308", T::number_float, "2.225073858507201e-308"}));

TEST(Json, StringsAreUnescaped) {
  auto r = json::parse(R"(["a\"\\\/\b\f\n\r\t", "\u00e9\u20AC", "\uD83D\uDE00", "é"])");
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ((*r)[0], "a\"\\/\b\f\n\r\t");
  EXPECT_EQ((*r)[1], "\xc3\xa9\xe2\x82\xac");
  EXPECT_EQ((*r)[2], "\xf0\x9f\x98\x80");
  EXPECT_EQ((*r)[3], "\xc3\xa9");
}

TEST(Json, ObjectsSortKeysAndKeepTheLastOfRepeatedKeys) {
  auto r = json::parse(" {\"b\": [true, false, null], \"a\": 1, \"b\": {}, \"\": \"x\"} \r\n");
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->dump(), R"({"":"x","a":1,"b":{}})");
}

} // namespace
