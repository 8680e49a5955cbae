#include "quaro/json.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

#include "quaro/json_reader.hpp"
#include "util/utf8.hpp"

namespace quaro::json {

namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// An integer without fraction or exponent whose digits fit 64 bits, as the exact integer it is
// (-0 as the float -0.0); false for the negative ones below the smallest int64, which read as
// floats.
bool exact_integer(std::uint64_t significand, bool positive, Number &out) {
  constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
  if (positive) {
    out.kind = Number::Kind::Unsigned;
    out.u = significand;
    return true;
  }
  if (significand == 0) {
    out.kind = Number::Kind::Float;
    out.d = -0.0;
    return true;
  }
  if (significand <= kMinMagnitude) {
    out.kind = Number::Kind::Signed;
    out.i = significand == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                         : -static_cast<std::int64_t>(significand);
    return true;
  }
  return false;
}

constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kEndOfHexEscape = "unexpected end of hex escape";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";

} // namespace

int Reader::peek_ws() {
  while (i_ < text_.size()) {
    char c = text_[i_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
      return static_cast<unsigned char>(c);
    }
    ++i_;
  }
  return -1;
}

bool Reader::position_at(std::size_t at) {
  std::string_view head = text_.substr(0, at);
  std::size_t nl = head.rfind('\n');
  std::size_t line_start = nl == std::string_view::npos ? 0 : nl + 1;
  line_ = 1 + static_cast<std::size_t>(std::count(head.begin(), head.begin() + line_start, '\n'));
  column_ = at - line_start;
  placed_ = true;
  return false;
}

bool Reader::fail(std::string_view msg) {
  err_ = msg;
  return position_at(i_);
}

bool Reader::fail_peek(std::string_view msg) {
  err_ = msg;
  return position_at(std::min(text_.size(), i_ + 1));
}

bool Reader::fail_unplaced(std::string msg) {
  err_ = std::move(msg);
  placed_ = false;
  return false;
}

void Reader::place() {
  if (!placed_) {
    position_at(i_);
  }
}

std::string Reader::message() const {
  if (!placed_) {
    return err_;
  }
  return err_ + " at line " + std::to_string(line_) + " column " + std::to_string(column_);
}

bool Reader::enter() {
  if (--depth_left_ == 0) {
    return fail_peek("recursion limit exceeded");
  }
  return true;
}

bool Reader::ident(std::string_view rest) {
  for (char expected : rest) {
    if (i_ == text_.size()) {
      return fail(kEofValue);
    }
    if (text_[i_++] != expected) {
      return fail("expected ident");
    }
  }
  return true;
}

bool Reader::hex4(std::uint32_t &n) {
  if (text_.size() - i_ < 4) {
    i_ = text_.size();
    return fail(kEofString);
  }
  n = 0;
  for (int k = 0; k < 4; ++k) {
    int v = hex_value(text_[i_++]);
    if (v < 0) {
      return fail(kInvalidEscape);
    }
    n = n * 16 + static_cast<std::uint32_t>(v);
  }
  return true;
}

bool Reader::escape() {
  if (i_ == text_.size()) {
    return fail(kEofString);
  }
  switch (text_[i_++]) {
  case '"':
    scratch_ += '"';
    return true;
  case '\\':
    scratch_ += '\\';
    return true;
  case '/':
    scratch_ += '/';
    return true;
  case 'b':
    scratch_ += '\b';
    return true;
  case 'f':
    scratch_ += '\f';
    return true;
  case 'n':
    scratch_ += '\n';
    return true;
  case 'r':
    scratch_ += '\r';
    return true;
  case 't':
    scratch_ += '\t';
    return true;
  case 'u':
    break;
  default:
    return fail(kInvalidEscape);
  }
  std::uint32_t n;
  if (!hex4(n)) {
    return false;
  }
  if (n >= 0xDC00 && n <= 0xDFFF) {
    return fail(kLoneSurrogate);
  }
  if (n < 0xD800 || n > 0xDBFF) {
    util::utf8::append(scratch_, n);
    return true;
  }
  // A leading surrogate must be followed at once by a trailing one.
  for (char expected : {'\\', 'u'}) {
    if (i_ == text_.size()) {
      return fail(kEofString);
    }
    if (text_[i_++] != expected) {
      return fail(kEndOfHexEscape);
    }
  }
  std::uint32_t n2;
  if (!hex4(n2)) {
    return false;
  }
  if (n2 < 0xDC00 || n2 > 0xDFFF) {
    return fail(kLoneSurrogate);
  }
  util::utf8::append(scratch_, 0x10000 + ((n - 0xD800) << 10) + (n2 - 0xDC00));
  return true;
}

bool Reader::string(std::string_view &out) {
  scratch_.clear();
  bool copied = false;
  std::size_t start = i_;
  for (;;) {
    while (i_ < text_.size()) {
      auto c = static_cast<unsigned char>(text_[i_]);
      if (c == '"' || c == '\\' || c < 0x20) {
        break;
      }
      ++i_;
    }
    if (i_ == text_.size()) {
      return fail(kEofString);
    }
    char c = text_[i_];
    if (c == '"') {
      if (copied) {
        scratch_.append(text_.substr(start, i_ - start));
        out = scratch_;
      } else {
        out = text_.substr(start, i_ - start);
      }
      ++i_;
      if (!util::utf8::valid(out)) {
        return fail("invalid unicode code point");
      }
      return true;
    }
    if (c == '\\') {
      scratch_.append(text_.substr(start, i_ - start));
      copied = true;
      ++i_;
      if (!escape()) {
        return false;
      }
      start = i_;
      continue;
    }
    ++i_;
    return fail("control character (\\u0000-\\u001F) found while parsing a string");
  }
}

// What the steps of `number` learn of its text. The steps are inline so that the compiler folds
// them into `number`, their only caller, which runs once for every number of a document.
struct Reader::Digits {
  std::size_t int_start = 0, int_end = 0;   // the integer digits
  std::size_t frac_start = 0, frac_end = 0; // the fraction's digits, empty without one
  std::uint64_t significand = 0;            // the integer digits' value while they fit
  bool fits = true;                         // the integer digits fit an unsigned 64-bit integer
  bool nonzero = false;                     // some digit of the significand is not 0
  bool integral = true;                     // neither a fraction nor an exponent
  std::int64_t exponent = 0;
  bool vanishes = false; // an exponent beyond 32 bits that leaves zero
};

inline bool Reader::integer_part(Digits &d) {
  if (i_ == text_.size()) {
    return fail(kEofValue);
  }
  d.int_start = i_;
  char first = text_[i_++];
  if (first == '0') {
    if (is_digit(peek())) {
      return fail_peek(kInvalidNumber);
    }
  } else if (first >= '1' && first <= '9') {
    // Locals, not members of d: the compiler then keeps them in registers across the loop.
    auto significand = static_cast<std::uint64_t>(first - '0');
    bool fits = true;
    while (is_digit(peek())) {
      auto digit = static_cast<std::uint64_t>(text_[i_] - '0');
      if (fits && significand > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        fits = false;
      } else if (fits) {
        significand = significand * 10 + digit;
      }
      ++i_;
    }
    d.significand = significand;
    d.fits = fits;
    d.nonzero = true;
  } else {
    return fail(kInvalidNumber);
  }
  d.int_end = d.frac_start = d.frac_end = i_;
  return true;
}

// At the '.'.
inline bool Reader::fraction(Digits &d) {
  d.integral = false;
  ++i_;
  if (!is_digit(peek())) {
    return fail_peek(peek() < 0 ? kEofValue : kInvalidNumber);
  }
  d.frac_start = i_;
  bool nonzero = d.nonzero;
  while (is_digit(peek())) {
    nonzero |= text_[i_++] != '0';
  }
  d.nonzero = nonzero;
  d.frac_end = i_;
  return true;
}

// At the 'e' or 'E'.
inline bool Reader::exponent(Digits &d) {
  d.integral = false;
  ++i_;
  bool exp_positive = true;
  if (peek() == '+' || peek() == '-') {
    exp_positive = text_[i_++] == '+';
  }
  if (i_ == text_.size()) {
    return fail(kEofValue);
  }
  char c = text_[i_++];
  if (!is_digit(c)) {
    return fail(kInvalidNumber);
  }
  std::int32_t exp = c - '0';
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  while (is_digit(peek())) {
    std::int32_t digit = text_[i_++] - '0';
    if (exp > (kMax - digit) / 10) {
      // An exponent beyond 32 bits: infinite unless the value is zero anyway.
      if (d.nonzero && exp_positive) {
        return fail(kOutOfRange);
      }
      while (is_digit(peek())) {
        ++i_;
      }
      d.vanishes = true;
      return true;
    }
    exp = exp * 10 + digit;
  }
  d.exponent = exp_positive ? exp : -static_cast<std::int64_t>(exp);
  return true;
}

// The decimal exponent of the first digit that is not 0.
inline std::int64_t Reader::leading_exponent(const Digits &d) const {
  std::size_t p = d.int_start;
  while (p < d.int_end && text_[p] == '0') {
    ++p;
  }
  if (p < d.int_end) {
    return static_cast<std::int64_t>(d.int_end - p) - 1;
  }
  std::size_t q = d.frac_start;
  while (q < d.frac_end && text_[q] == '0') {
    ++q;
  }
  return -static_cast<std::int64_t>(q - d.frac_start) - 1;
}

bool Reader::number(bool positive, Number &out) {
  const std::size_t start = positive ? i_ : i_ - 1;
  Digits d;
  if (!integer_part(d)) {
    return false;
  }
  if (peek() == '.' && !fraction(d)) {
    return false;
  }
  if ((peek() == 'e' || peek() == 'E') && !exponent(d)) {
    return false;
  }
  if (d.vanishes) {
    out.kind = Number::Kind::Float;
    out.d = positive ? 0.0 : -0.0;
    return true;
  }
  if (d.integral && d.fits && exact_integer(d.significand, positive, out)) {
    return true;
  }
  out.kind = Number::Kind::Float;
  auto [ptr, ec] = std::from_chars(text_.data() + start, text_.data() + i_, out.d);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) {
    // Rounded to zero or infinity: tell by the decimal exponent of the leading digit.
    if (leading_exponent(d) + d.exponent > 0) {
      return fail(kOutOfRange);
    }
    out.d = positive ? 0.0 : -0.0;
  }
  return true;
}

bool Reader::next_element(bool &first, bool &more) {
  int c = peek_ws();
  if (c < 0) {
    return fail_peek("EOF while parsing a list");
  }
  more = c != ']';
  if (!more) {
    return true;
  }
  if (first) {
    first = false;
    return true;
  }
  if (c != ',') {
    return fail_peek("expected `,` or `]`");
  }
  eat();
  c = peek_ws();
  if (c == ']') {
    return fail_peek("trailing comma");
  }
  if (c < 0) {
    return fail_peek(kEofValue);
  }
  return true;
}

bool Reader::next_key(bool &first, bool &more) {
  int c = peek_ws();
  if (c < 0) {
    return fail_peek("EOF while parsing an object");
  }
  more = c != '}';
  if (!more) {
    return true;
  }
  if (first) {
    first = false;
  } else if (c == ',') {
    eat();
    c = peek_ws();
    if (c == '}') {
      return fail_peek("trailing comma");
    }
    if (c < 0) {
      return fail_peek(kEofValue);
    }
  } else {
    return fail_peek("expected `,` or `}`");
  }
  return c == '"' || fail_peek("key must be a string");
}

bool Reader::colon() {
  int c = peek_ws();
  if (c == ':') {
    eat();
    return true;
  }
  return fail_peek(c < 0 ? "EOF while parsing an object" : "expected `:`");
}

bool Reader::finish() { return peek_ws() < 0 || fail_peek("trailing characters"); }

template <> struct Builder<Value> {
  static Value null() { return Value(nullptr); }
  static Value boolean(bool b) { return Value(b); }
  static Value number(const Number &n) {
    switch (n.kind) {
    case Number::Kind::Unsigned:
      return Value(n.u);
    case Number::Kind::Signed:
      return Value(n.i);
    case Number::Kind::Float:
      break;
    }
    return Value(n.d);
  }
  static Value string(std::string_view s) { return Value(std::string(s)); }
  static Value array() { return Value::array(); }
  static void push(Value &a, Value &&v) { a.get_ref<Value::array_t &>().push_back(std::move(v)); }
  static Value object() { return Value::object(); }
  static void insert(Value &o, std::string &&key, Value &&v) {
    o.get_ref<Value::object_t &>().insert_or_assign(std::move(key), std::move(v));
  }
};

util::Expected<Value, std::string> parse(std::string_view text) {
  Reader reader(text);
  Value v;
  if (!reader.value(v) || !reader.finish()) {
    return util::unexpected(reader.message());
  }
  return v;
}

} // namespace quaro::json
