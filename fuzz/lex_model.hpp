// A plain model of the quaro lexer, written straight from the token rules, for differential
// fuzzing. It assumes well-formed UTF-8 (callers skip other input).
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "quaro/dsl/lex.hpp"

namespace fuzz {

struct LexModel {
  std::vector<quaro::Token> tokens;
  bool ok = true;
  quaro::ParseError error;
};

inline bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80                 ? 1
                      : c >= 0xC2 && c <= 0xDF ? 2
                      : c >= 0xE0 && c <= 0xEF ? 3
                      : c >= 0xF0 && c <= 0xF4 ? 4
                                               : 0;
    if (len == 0 || s.size() - i < len)
      return false;
    unsigned cp = len == 1 ? c : c & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80)
        return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    const unsigned min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

// Characters (not continuation bytes) in s.
inline std::size_t chars(std::string_view s) {
  std::size_t n = 0;
  for (char c : s)
    n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Digits, an optional full stop with digits, an optional exponent.
inline bool number_shape(std::string_view t) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9')
      ++i;
    return i - from;
  };
  if (digits() == 0)
    return false;
  if (i < t.size() && t[i] == '.') {
    ++i;
    digits();
  }
  if (i < t.size() && t[i] == 'e') {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
      ++i;
    if (digits() == 0)
      return false;
  }
  return i == t.size();
}

inline LexModel lex_model(std::string_view s) {
  using quaro::TokenKind;
  LexModel m;
  std::size_t i = 0, line = 1, col = 1;
  auto digit = [&](std::size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '9'; };
  auto push = [&](TokenKind kind, std::string text, double num, std::size_t width) {
    m.tokens.push_back(quaro::Token{kind, num, std::move(text), line, col});
    col += width;
  };
  auto fail = [&](std::string message, std::size_t l, std::size_t c) {
    m.ok = false;
    m.error = quaro::ParseError{std::move(message), l, c};
    m.tokens.clear();
    return m;
  };
  while (i < s.size()) {
    const char c = s[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (c == ' ' || c == '\t' || c == '\r') {
      ++col, ++i;
    } else if (c == '\n') {
      ++line, col = 1, ++i;
    } else if (c == '#') {
      while (i < s.size() && s[i] != '\n')
        ++i;
    } else if (std::string_view("()[],=").find(c) != std::string_view::npos) {
      const TokenKind kinds[] = {TokenKind::LParen,   TokenKind::RParen, TokenKind::LBracket,
                                 TokenKind::RBracket, TokenKind::Comma,  TokenKind::Eq};
      push(kinds[std::string_view("()[],=").find(c)], "", 0, 1);
      ++i;
    } else if (c == '+' || c == '-' || c == '*' || c == '/') {
      push(TokenKind::Op, std::string(1, c), 0, 1);
      ++i;
    } else if (c == '<' || c == '>') {
      const bool eq = i + 1 < s.size() && s[i + 1] == '=';
      push(TokenKind::Op, std::string(s.substr(i, eq ? 2 : 1)), 0, eq ? 2 : 1);
      i += eq ? 2 : 1;
    } else if (c == '"') {
      const std::size_t close = s.find('"', i + 1);
      if (close == std::string_view::npos)
        return fail("unterminated string", line, col);
      const std::string_view body = s.substr(i + 1, close - i - 1);
      push(TokenKind::Str, std::string(body), 0, chars(body) + 2);
      i = close + 1;
    } else if (c >= '0' && c <= '9') {
      std::string text(1, c);
      std::size_t j = i + 1;
      for (;;) {
        if (digit(j) || (j < s.size() && s[j] == '.')) {
          text += s[j++];
        } else if (j < s.size() && s[j] == '_') {
          ++j;
        } else if (j < s.size() && (s[j] == 'e' || s[j] == 'E') &&
                   (digit(j + 1) ||
                    (j + 1 < s.size() && (s[j + 1] == '+' || s[j + 1] == '-') && digit(j + 2)))) {
          text += 'e';
          ++j;
          if (s[j] == '+' || s[j] == '-')
            text += s[j++];
        } else {
          break;
        }
      }
      if (!number_shape(text))
        return fail("invalid number `" + text + "`", line, col);
      push(TokenKind::Num, "", std::strtod(text.c_str(), nullptr), j - i);
      i = j;
    } else if (letter) {
      std::size_t j = i + 1;
      while (j < s.size() && ((s[j] >= 'a' && s[j] <= 'z') || (s[j] >= 'A' && s[j] <= 'Z') ||
                              (s[j] >= '0' && s[j] <= '9') || s[j] == '_'))
        ++j;
      const std::string word(s.substr(i, j - i));
      if (word == "let")
        push(TokenKind::Let, "", 0, 3);
      else
        push(TokenKind::Ident, word, 0, word.size());
      i = j;
    } else {
      std::size_t len = 1;
      while (i + len < s.size() && (static_cast<unsigned char>(s[i + len]) & 0xC0) == 0x80)
        ++len;
      return fail("unexpected character `" + std::string(s.substr(i, len)) + "`", line, col);
    }
  }
  push(TokenKind::Eof, "", 0, 0);
  return m;
}

} // namespace fuzz
