// The JSON text reader behind json::parse and the expression tree reader. It walks the text byte
// by byte and fails with the texts and positions our callers rely on; the value type it builds is
// chosen by a Builder specialisation, so the same grammar yields both generic values and the
// tree reader's document-order members.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quaro::json {

struct Number {
  enum class Kind : std::uint8_t { Unsigned, Signed, Float } kind = Kind::Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0.0;
};

// Specialise for each value type V the reader builds:
//   static V null(); static V boolean(bool); static V number(const Number &);
//   static V string(std::string_view); static V array(); static void push(V &, V &&);
//   static V object(); static void insert(V &, std::string &&key, V &&);
template <class V> struct Builder;

class Reader {
public:
  explicit Reader(std::string_view text) : text_(text) {}

  // Skips JSON whitespace; the next byte, or -1 at the end of the text.
  int peek_ws();
  int peek() const { return i_ < text_.size() ? static_cast<unsigned char>(text_[i_]) : -1; }
  void eat() { ++i_; }

  // Failures. `fail` places the error where the reader stands, `fail_peek` just past the byte
  // it looked at; `fail_unplaced` leaves the position to a later `place` (errors of the
  // document's shape rather than its syntax). All return false.
  bool fail(std::string_view msg);
  bool fail_peek(std::string_view msg);
  bool fail_unplaced(std::string msg);
  void place();
  std::string message() const;

  // Container nesting: call `enter` before eating the bracket, `leave` after the closing one.
  bool enter();
  void leave() { ++depth_left_; }

  // The rest of a literal after its first byte has been eaten.
  bool ident(std::string_view rest);
  // A string after its opening quote; `out` views the text or a scratch buffer that the next
  // string overwrites.
  bool string(std::string_view &out);
  // A number; a leading '-' has been eaten when !positive.
  bool number(bool positive, Number &out);
  // Whether another element (key) follows in an array (object); `first` tracks the comma rule.
  // The next key's opening quote is left unread.
  bool next_element(bool &first, bool &more);
  bool next_key(bool &first, bool &more);
  bool colon();
  // Only whitespace may follow the document.
  bool finish();

  template <class V> bool value(V &out);

private:
  // The steps of `number`, in the order it takes them; Digits collects what they read.
  struct Digits;
  bool integer_part(Digits &d);
  bool fraction(Digits &d);
  bool exponent(Digits &d);
  std::int64_t leading_exponent(const Digits &d) const;
  bool escape();
  bool hex4(std::uint32_t &n);
  bool position_at(std::size_t at);

  std::string_view text_;
  std::size_t i_ = 0;
  int depth_left_ = 128;
  std::string scratch_;
  std::string err_;
  bool placed_ = false;
  std::size_t line_ = 0, column_ = 0;
};

inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedValue = "expected value";

template <class V> bool Reader::value(V &out) {
  using B = Builder<V>;
  int c = peek_ws();
  switch (c) {
  case -1:
    return fail_peek(kEofValue);
  case 'n':
    eat();
    if (!ident("ull")) {
      return false;
    }
    out = B::null();
    return true;
  case 't':
  case 'f':
    eat();
    if (!ident(c == 't' ? "rue" : "alse")) {
      return false;
    }
    out = B::boolean(c == 't');
    return true;
  case '"': {
    eat();
    std::string_view s;
    if (!string(s)) {
      return false;
    }
    out = B::string(s);
    return true;
  }
  case '[': {
    if (!enter()) {
      return false;
    }
    eat();
    out = B::array();
    bool first = true, more = false;
    for (;;) {
      if (!next_element(first, more)) {
        return false;
      }
      if (!more) {
        break;
      }
      V item;
      if (!value(item)) {
        return false;
      }
      B::push(out, std::move(item));
    }
    eat();
    leave();
    return true;
  }
  case '{': {
    if (!enter()) {
      return false;
    }
    eat();
    out = B::object();
    bool first = true, more = false;
    for (;;) {
      if (!next_key(first, more)) {
        return false;
      }
      if (!more) {
        break;
      }
      eat();
      std::string_view k;
      if (!string(k)) {
        return false;
      }
      std::string key(k);
      if (!colon()) {
        return false;
      }
      V item;
      if (!value(item)) {
        return false;
      }
      B::insert(out, std::move(key), std::move(item));
    }
    eat();
    leave();
    return true;
  }
  default:
    if (c == '-' || (c >= '0' && c <= '9')) {
      if (c == '-') {
        eat();
      }
      Number n;
      if (!number(c != '-', n)) {
        return false;
      }
      out = B::number(n);
      return true;
    }
    return fail_peek(kExpectedValue);
  }
}

} // namespace quaro::json
