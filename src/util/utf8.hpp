// Strict UTF-8, the one decoder of the lexer, the linter, the JSON reader and the Python intake.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace util::utf8 {

// Decodes the scalar value starting at s[i]. Returns its byte length, or 0 when the bytes there
// are not well-formed UTF-8 (overlong forms, surrogates, values above U+10FFFF, truncation).
inline std::size_t decode(std::string_view s, std::size_t i, char32_t &out) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) {
    out = c;
    return 1;
  }
  std::size_t len;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
    if (c == 0xE0) {
      lo = 0xA0;
    } else if (c == 0xED) {
      hi = 0x9F;
    }
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
    if (c == 0xF0) {
      lo = 0x90;
    } else if (c == 0xF4) {
      hi = 0x8F;
    }
  } else {
    return 0;
  }
  if (s.size() - i < len) {
    return 0;
  }
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char d = b(i + k);
    if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) {
      return 0;
    }
    cp = (cp << 6) | (d & 0x3F);
  }
  out = cp;
  return len;
}

// Whether all of s is well-formed UTF-8.
inline bool valid(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp;
    const std::size_t n = decode(s, i, cp);
    if (n == 0) {
      return false;
    }
    i += n;
  }
  return true;
}

// Appends the encoding of a scalar value (at most U+10FFFF, no surrogate).
inline void append(std::string &out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

} // namespace util::utf8
