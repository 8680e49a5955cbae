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

// Suggestions must be exactly those the plain edit distance gives, also for names whose lengths
// differ and for very long names.
TEST(Lint, SuggestionsMatchTheEditDistance) {
  std::uint64_t state = 12345;
  auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<unsigned>(state >> 33);
  };
  // Identifiers are ASCII; known names need not be, and a multi-byte character counts once.
  auto word = [&](bool wide) {
    std::string w = "x";
    for (unsigned k = next() % 7; k > 0; --k) {
      const unsigned c = next() % (wide ? 3 : 2);
      w += c == 2 ? std::string("\u00e9") : std::string(1, "ab"[c]);
    }
    return w;
  };
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> known;
    for (unsigned k = next() % 5 + 1; k > 0; --k)
      known.push_back(word(true));
    const std::string name = word(false);
    std::string want;
    bool is_known = false;
    std::size_t best = 3;
    for (const auto &k : known) {
      is_known = is_known || k == name;
      const std::size_t d = lint::levenshtein(name, k);
      if (d < best) {
        best = d;
        want = k;
      }
    }
    if (is_known)
      continue;
    std::string expected = "1:1 unknown series `" + name + "`";
    if (!want.empty())
      expected += " \u2014 did you mean `" + want + "`?";
    EXPECT_EQ(run(name, known), expected);
  }
  const std::string long_name(200000, 'q');
  EXPECT_EQ(run(long_name + "z", std::vector<std::string>{long_name + "yy"}),
            "1:1 unknown series `" + long_name + "z` \u2014 did you mean `" + long_name + "yy`?");
}
