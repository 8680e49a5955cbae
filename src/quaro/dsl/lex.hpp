// Tokens of quaro source and the front end's single error type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/expected.hpp"

namespace quaro {

// Every failure of the front end: 1-based line and column, the column counted in characters.
struct ParseError {
  std::string message;
  std::size_t line = 0;
  std::size_t col = 0;

  // "{line}:{col}: {message}"
  std::string to_string() const;
};

enum class TokenKind : std::uint8_t {
  Num,   // payload: num
  Ident, // payload: text
  Str,   // payload: text, without the quotes
  Op,    // payload: text, one of + - * / < > <= >=
  LParen,
  RParen,
  LBracket,
  RBracket,
  Comma,
  Eq,
  Let,
  Eof,
};

struct Token {
  TokenKind kind = TokenKind::Eof;
  double num = 0.0;
  std::string text;
  std::size_t line = 1;
  std::size_t col = 1;
};

// A user-typed name quoted in backticks, as every message of the language front end writes it.
inline std::string ticked(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('`');
  out.append(s);
  out.push_back('`');
  return out;
}

namespace lex {

// Bare variant name, as in "RParen".
std::string_view kind_name(TokenKind k);

// Debug form of a token's kind with its payload: `Eof`, `Ident("x")`, `Num(1.5)`.
std::string debug(const Token &t);

// Scans the whole source; the list always ends with exactly one Eof token.
util::Expected<std::vector<Token>, ParseError> lex(std::string_view src);

} // namespace lex
} // namespace quaro
