#include "util/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct DecodeCase {
  std::string bytes;
  std::size_t len; // 0: not well-formed at the first byte
  char32_t cp = 0; // the scalar value, when well-formed
};

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, FirstScalar) {
  const DecodeCase &c = GetParam();
  char32_t cp = 0xFFFFFFFF;
  EXPECT_EQ(util::utf8::decode(c.bytes, 0, cp), c.len);
  if (c.len != 0) {
    EXPECT_EQ(cp, c.cp);
  }
  // The whole text is valid exactly when its one scalar decodes and fills it.
  EXPECT_EQ(util::utf8::valid(c.bytes), c.len != 0 && c.len == c.bytes.size());
}

// The edges of every lead byte's range, and of the second byte after E0, ED, F0 and F4.
INSTANTIATE_TEST_SUITE_P(
    Edges, Decode,
    ::testing::Values(
        DecodeCase{std::string(1, '\0'), 1, 0}, DecodeCase{"\x7f", 1, 0x7F}, DecodeCase{"\x80", 0},
        DecodeCase{"\xbf", 0}, DecodeCase{"\xc0\x80", 0}, DecodeCase{"\xc1\xbf", 0},
        DecodeCase{"\xc2\x80", 2, 0x80}, DecodeCase{"\xdf\xbf", 2, 0x7FF},
        DecodeCase{"\xc2\x7f", 0}, DecodeCase{"\xc2\xc0", 0}, DecodeCase{"\xe0\x9f\xbf", 0},
        DecodeCase{"\xe0\xa0\x80", 3, 0x800}, DecodeCase{"\xed\x9f\xbf", 3, 0xD7FF},
        DecodeCase{"\xed\xa0\x80", 0}, DecodeCase{"\xee\x80\x80", 3, 0xE000},
        DecodeCase{"\xef\xbf\xbf", 3, 0xFFFF}, DecodeCase{"\xe1\x80\xc0", 0},
        DecodeCase{"\xf0\x8f\xbf\xbf", 0}, DecodeCase{"\xf0\x90\x80\x80", 4, 0x10000},
        DecodeCase{"\xf4\x8f\xbf\xbf", 4, 0x10FFFF}, DecodeCase{"\xf4\x90\x80\x80", 0},
        DecodeCase{"\xf5\x80\x80\x80", 0}, DecodeCase{"\xff", 0},
        // truncated at the end of the text
        DecodeCase{"\xc3", 0}, DecodeCase{"\xe2\x82", 0}, DecodeCase{"\xf0\x9f\x98", 0},
        // only the first scalar is read
        DecodeCase{"\xc3\xa9\xff", 2, 0xE9}));

TEST(Utf8, AppendEncodesWhatDecodeReads) {
  const std::vector<char32_t> scalars = {0,      0x7F,   0x80,   0x7FF,   0x800,
                                         0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};
  std::string text;
  for (char32_t cp : scalars)
    util::utf8::append(text, cp);
  ASSERT_TRUE(util::utf8::valid(text));
  std::size_t i = 0;
  for (char32_t want : scalars) {
    char32_t cp = 0;
    const std::size_t n = util::utf8::decode(text, i, cp);
    ASSERT_NE(n, 0u);
    EXPECT_EQ(cp, want);
    i += n;
  }
  EXPECT_EQ(i, text.size());
}

TEST(Utf8, ValidLooksPastTheFirstScalar) {
  EXPECT_TRUE(util::utf8::valid(""));
  EXPECT_TRUE(util::utf8::valid("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
  EXPECT_FALSE(util::utf8::valid("abc\xed\xa0\x80"));
  EXPECT_FALSE(util::utf8::valid("\xc3\xa9\xc3"));
}

} // namespace
