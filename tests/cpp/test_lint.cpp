#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quaro/dsl/lint.hpp"

using namespace quaro;

namespace {

using Names = std::optional<std::vector<std::string>>;

// Lints as "line:col message" joined by " | ", or the error's display text.
std::string run(std::string_view src, const Names &series) {
  auto r = lint::lint(src, series ? &*series : nullptr);
  if (!r)
    return "error " + r.error().to_string();
  std::string out;
  for (const lint::Lint &l : *r)
    out += (out.empty() ? "" : " | ") + std::to_string(l.line) + ":" + std::to_string(l.col) + " " +
           l.message;
  return out;
}

struct Case {
  std::string src;
  Names series;
  std::string want;
};

class LintCases : public ::testing::TestWithParam<Case> {};

TEST_P(LintCases, Lints) {
  EXPECT_EQ(run(GetParam().src, GetParam().series), GetParam().want) << GetParam().src;
}

const std::string DASH = " \xE2\x80\x94 did you mean ";

INSTANTIATE_TEST_SUITE_P(
    Cases, LintCases,
    ::testing::Values(
        Case{"close", std::nullopt, ""}, Case{"foo + bar", std::nullopt, ""},
        Case{"let a = foo\nclose", std::nullopt, "1:5 unused let binding `a`"},
        Case{"close", Names{{"close"}}, ""},
        Case{"close + open", Names{std::vector<std::string>{}},
             "1:1 unknown series `close` | 1:9 unknown series `open`"},
        Case{"closee", Names{{"close", "open"}}, "1:1 unknown series `closee`" + DASH + "`close`?"},
        Case{"clse", Names{{"close"}}, "1:1 unknown series `clse`" + DASH + "`close`?"},
        Case{"cls", Names{{"close"}}, "1:1 unknown series `cls`" + DASH + "`close`?"},
        Case{"cl", Names{{"close"}}, "1:1 unknown series `cl`"},
        Case{"Close", Names{{"close"}}, "1:1 unknown series `Close`" + DASH + "`close`?"},
        Case{"ab", Names{{"ax", "ay"}}, "1:1 unknown series `ab`" + DASH + "`ax`?"},
        Case{"ab", Names{{"xyz", "ay", "ax"}}, "1:1 unknown series `ab`" + DASH + "`ay`?"},
        Case{"abc", Names{{"xbx", "abd"}}, "1:1 unknown series `abc`" + DASH + "`abd`?"},
        Case{"foo + foo * foo", Names{{"close"}}, "1:1 unknown series `foo`"},
        Case{"let a = foo\nclose", Names{{"close"}},
             "1:5 unused let binding `a` | 1:9 unknown series `foo`"},
        Case{"let a = foo\nlet b = a\nb + b + bar", Names{{"close"}},
             "1:9 unknown series `foo` | 3:9 unknown series `bar`"},
        Case{"let a = close\nlet b = a\nclose", std::nullopt, "2:5 unused let binding `b`"},
        Case{"sma(x, 5) + rank(true_range, pct=true)", Names{{"x", "sma", "rank"}},
             "1:18 unknown series `true_range`"},
        Case{"zz +\n  yy + zz", Names{std::vector<std::string>{}},
             "1:1 unknown series `zz` | 2:3 unknown series `yy`"},
        Case{"\"\xC3\xA9\" + wa", Names{std::vector<std::string>{}},
             "error 1:9: a string cannot stand alone as an expression"},
        Case{"close close", Names{{"close"}}, "error 1:7: unexpected trailing input"},
        Case{"let a = 1 let a = 2 close", std::nullopt, "error 1:15: `a` is already defined"}));

TEST(Levenshtein, CountsScalarValues) {
  EXPECT_EQ(lint::levenshtein("", ""), 0u);
  EXPECT_EQ(lint::levenshtein("", "abc"), 3u);
  EXPECT_EQ(lint::levenshtein("abc", ""), 3u);
  EXPECT_EQ(lint::levenshtein("kitten", "sitting"), 3u);
  EXPECT_EQ(lint::levenshtein("close", "Close"), 1u);
  EXPECT_EQ(lint::levenshtein("caf\xC3\xA9", "cafe"), 1u);
  EXPECT_EQ(lint::levenshtein("\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xB8\xAD"), 1u);
  EXPECT_EQ(lint::levenshtein("\xff\xfe", "\xff"), 1u);
}

TEST(Lint, SuggestsNamesThatAreNotIdentifiers) {
  const std::vector<std::string> known = {"clos\xC3\xA9"};
  auto r = lint::lint("close", &known);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ((*r)[0].message, "unknown series `close`" + DASH + "`clos\xC3\xA9`?");
}

} // namespace
