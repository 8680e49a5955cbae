#include "quaro/dsl/lex.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "util/utf8.hpp"

namespace quaro {

std::string ParseError::to_string() const {
  return std::to_string(line) + ":" + std::to_string(col) + ": " + message;
}

namespace lex {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

// digits, then optionally a full stop and digits, then optionally e, a sign and digits
bool well_formed_number(std::string_view t) {
  std::size_t i = 0;
  while (i < t.size() && is_digit(t[i])) {
    ++i;
  }
  if (i == 0) {
    return false;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && is_digit(t[i])) {
      ++i;
    }
  }
  if (i < t.size() && t[i] == 'e') {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
      ++i;
    }
    const std::size_t first = i;
    while (i < t.size() && is_digit(t[i])) {
      ++i;
    }
    if (i == first) {
      return false;
    }
  }
  return i == t.size();
}

// A well-formed literal that the conversion reports out of range is either beyond the largest
// double (infinity) or below the smallest subnormal (zero); the decimal magnitude tells which.
double out_of_range_value(std::string_view t) {
  long long mag = 0; // the value is 0.d1d2... times ten to the power mag
  bool seen_point = false, found = false;
  std::size_t i = 0;
  for (; i < t.size() && t[i] != 'e'; ++i) {
    if (t[i] == '.') {
      seen_point = true;
      continue;
    }
    if (!found && t[i] != '0') {
      found = true;
    }
    if (!seen_point && found) {
      ++mag;
    } else if (seen_point && !found) {
      --mag;
    }
  }
  long long exp = 0;
  bool neg = false;
  if (i < t.size()) {
    ++i;
    if (t[i] == '+' || t[i] == '-') {
      neg = t[i++] == '-';
    }
    for (; i < t.size(); ++i) {
      exp = exp > 1'000'000'000 ? exp : exp * 10 + (t[i] - '0');
    }
  }
  const long long total = mag + (neg ? -exp : exp);
  return total > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

std::string hex_byte(unsigned char b) {
  static constexpr char digits[] = "0123456789abcdef";
  return std::string("\\x") + digits[b >> 4] + digits[b & 15];
}

class Scanner {
public:
  explicit Scanner(std::string_view src) : s_(src) {}

  util::Expected<std::vector<Token>, ParseError> run() {
    while (i_ < s_.size()) {
      const char c = s_[i_];
      switch (c) {
      case '\t':
      case '\r':
      case ' ':
        ++i_, ++col_;
        break;
      case '\n':
        ++i_, ++line_, col_ = 1;
        break;
      case '#': // the column is deliberately left where the comment starts
        while (i_ < s_.size() && s_[i_] != '\n') {
          ++i_;
        }
        break;
      case '(':
        single(TokenKind::LParen);
        break;
      case ')':
        single(TokenKind::RParen);
        break;
      case '[':
        single(TokenKind::LBracket);
        break;
      case ']':
        single(TokenKind::RBracket);
        break;
      case ',':
        single(TokenKind::Comma);
        break;
      case '=':
        single(TokenKind::Eq);
        break;
      case '+':
      case '-':
      case '*':
      case '/':
        push(TokenKind::Op, std::string(1, c));
        ++i_, ++col_;
        break;
      case '<':
      case '>': {
        const bool eq = i_ + 1 < s_.size() && s_[i_ + 1] == '=';
        const std::size_t n = eq ? 2 : 1;
        push(TokenKind::Op, std::string(s_.substr(i_, n)));
        i_ += n, col_ += n;
        break;
      }
      case '"':
        UTIL_TRY(string_literal());
        break;
      default:
        if (is_digit(c)) {
          UTIL_TRY(number());
        } else if (is_alpha(c)) {
          identifier();
        } else {
          return util::unexpected(unexpected_character(line_, col_));
        }
      }
    }
    push(TokenKind::Eof, {});
    return std::move(out_);
  }

private:
  void push(TokenKind k, std::string text, double num = 0.0) {
    out_.push_back(Token{k, num, std::move(text), line_, col_});
  }
  void single(TokenKind k) {
    push(k, {});
    ++i_, ++col_;
  }

  // Names the character at i_; bytes that are not well-formed UTF-8 are shown as \xNN.
  ParseError unexpected_character(std::size_t line, std::size_t col) const {
    char32_t cp;
    const std::size_t n = util::utf8::decode(s_, i_, cp);
    const std::string shown =
        n ? std::string(s_.substr(i_, n)) : hex_byte(static_cast<unsigned char>(s_[i_]));
    return ParseError{"unexpected character `" + shown + "`", line, col};
  }

  util::Expected<void, ParseError> string_literal() {
    const std::size_t line = line_, col = col_;
    std::size_t j = i_ + 1, chars = 0;
    while (j < s_.size() && s_[j] != '"') {
      char32_t cp;
      const std::size_t n = util::utf8::decode(s_, j, cp);
      if (n == 0) {
        i_ = j;
        return util::unexpected(unexpected_character(line, col + 1 + chars));
      }
      j += n, ++chars;
    }
    if (j >= s_.size()) {
      return util::unexpected(ParseError{"unterminated string", line, col});
    }
    push(TokenKind::Str, std::string(s_.substr(i_ + 1, j - i_ - 1)));
    i_ = j + 1;
    col_ += chars + 2;
    return {};
  }

  util::Expected<void, ParseError> number() {
    const std::size_t start = i_;
    std::string text;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (is_digit(c) || c == '.') {
        text += c;
        ++i_;
      } else if (c == '_') {
        ++i_;
      } else if (c == 'e' || c == 'E') {
        const auto at_digit = [&](std::size_t k) { return k < s_.size() && is_digit(s_[k]); };
        const bool sign = i_ + 1 < s_.size() && (s_[i_ + 1] == '+' || s_[i_ + 1] == '-');
        if (at_digit(i_ + 1)) {
          text += 'e';
          ++i_;
        } else if (sign && at_digit(i_ + 2)) {
          text += 'e';
          text += s_[i_ + 1];
          i_ += 2;
        } else {
          break;
        }
      } else {
        break;
      }
    }
    if (!well_formed_number(text)) {
      return util::unexpected(ParseError{"invalid number `" + text + "`", line_, col_});
    }
    double v = 0.0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec == std::errc::result_out_of_range) {
      v = out_of_range_value(text);
    }
    push(TokenKind::Num, {}, v);
    col_ += i_ - start;
    return {};
  }

  void identifier() {
    const std::size_t start = i_;
    while (i_ < s_.size() && (is_alpha(s_[i_]) || is_digit(s_[i_]))) {
      ++i_;
    }
    const std::string_view word = s_.substr(start, i_ - start);
    if (word == "let") {
      push(TokenKind::Let, {});
    } else {
      push(TokenKind::Ident, std::string(word));
    }
    col_ += word.size();
  }

  std::string_view s_;
  std::size_t i_ = 0, line_ = 1, col_ = 1;
  std::vector<Token> out_;
};

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\0':
      out += "\\0";
      break;
    default:
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        static constexpr char digits[] = "0123456789abcdef";
        const auto b = static_cast<unsigned char>(c);
        out += std::string("\\u{") + digits[b >> 4] + digits[b & 15] + "}";
      } else {
        out += c;
      }
    }
  }
  return out + "\"";
}

std::string number_text(double v) {
  if (std::isnan(v)) {
    return "NaN";
  }
  if (std::isinf(v)) {
    return v > 0 ? "inf" : "-inf";
  }
  // fixed notation between 1e-4 and 1e16, scientific outside
  const double a = std::fabs(v);
  const bool sci = a != 0.0 && (a < 1e-4 || a >= 1e16);
  char buf[512];
  const auto r = std::to_chars(buf, buf + sizeof buf, v,
                               sci ? std::chars_format::scientific : std::chars_format::fixed);
  std::string s(buf, r.ptr);
  const auto e = s.find('e');
  if (e == std::string::npos) {
    if (s.find('.') == std::string::npos) {
      s += ".0";
    }
    return s;
  }
  // 1e+300 -> 1e300, 1e-07 -> 1e-7
  std::string exp = s.substr(e + 1);
  const bool neg = exp[0] == '-';
  if (exp[0] == '+' || exp[0] == '-') {
    exp.erase(0, 1);
  }
  exp.erase(0, std::min(exp.find_first_not_of('0'), exp.size() - 1));
  return s.substr(0, e) + (neg ? "e-" : "e") + exp;
}

} // namespace

std::string_view kind_name(TokenKind k) {
  static constexpr std::string_view names[] = {"Num",    "Ident",  "Str",      "Op",
                                               "LParen", "RParen", "LBracket", "RBracket",
                                               "Comma",  "Eq",     "Let",      "Eof"};
  return names[static_cast<std::size_t>(k)];
}

std::string debug(const Token &t) {
  std::string out(kind_name(t.kind));
  switch (t.kind) {
  case TokenKind::Num:
    return out + "(" + number_text(t.num) + ")";
  case TokenKind::Ident:
  case TokenKind::Str:
  case TokenKind::Op:
    return out + "(" + quoted(t.text) + ")";
  default:
    return out;
  }
}

util::Expected<std::vector<Token>, ParseError> lex(std::string_view src) {
  return Scanner(src).run();
}

} // namespace lex
} // namespace quaro
