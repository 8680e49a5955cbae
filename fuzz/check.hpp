// Helpers shared by the fuzz targets: a failed property aborts, so libFuzzer records the input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "quaro/json.hpp"

namespace fuzz {

[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "property violated: %.*s\n", static_cast<int>(what.size()), what.data());
  if (!detail.empty())
    std::fprintf(stderr, "%.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

} // namespace fuzz

// Aborts with `what` and the optional detail when `cond` fails; the detail is built only then.
#define FUZZ_CHECK(cond, ...)                                                                      \
  do {                                                                                             \
    if (!(cond))                                                                                   \
      ::fuzz::fail(__VA_ARGS__);                                                                   \
  } while (0)

namespace fuzz {

// Compact JSON text for messages; never throws on malformed UTF-8.
inline std::string show(const quaro::Value &v) {
  return v.dump(-1, ' ', false, quaro::Value::error_handler_t::replace);
}

inline std::string_view text(const std::uint8_t *data, std::size_t size) {
  return {reinterpret_cast<const char *>(data), size};
}

// Equality that also tells integers from floats (5 and 5.0 differ) and compares floats by their
// bits; signed and unsigned integers compare by value.
inline bool strict_equal(const quaro::Value &a, const quaro::Value &b) {
  using T = quaro::Value::value_t;
  const bool a_int = a.is_number_integer(), b_int = b.is_number_integer();
  if (a_int || b_int) {
    if (!a_int || !b_int)
      return false;
    if (a.is_number_unsigned() == b.is_number_unsigned())
      return a == b;
    const quaro::Value &s = a.is_number_unsigned() ? b : a; // the signed one
    const quaro::Value &u = a.is_number_unsigned() ? a : b;
    const std::int64_t sv = s.get<std::int64_t>();
    return sv >= 0 && static_cast<std::uint64_t>(sv) == u.get<std::uint64_t>();
  }
  if (a.type() != b.type())
    return false;
  switch (a.type()) {
  case T::number_float: {
    const double x = a.get<double>(), y = b.get<double>();
    return std::memcmp(&x, &y, sizeof x) == 0;
  }
  case T::array: {
    if (a.size() != b.size())
      return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (!strict_equal(a[i], b[i]))
        return false;
    return true;
  }
  case T::object: {
    if (a.size() != b.size())
      return false;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib)
      if (ia.key() != ib.key() || !strict_equal(*ia, *ib))
        return false;
    return true;
  }
  default:
    return a == b;
  }
}

// Whether a failure of the JSON reader is one of its syntax messages (position suffix aside).
inline bool known_json_message(const std::string &message) {
  static const char *const known[] = {
      "EOF while parsing a value",
      "EOF while parsing an object",
      "EOF while parsing a list",
      "EOF while parsing a string",
      "expected value",
      "expected ident",
      "expected `:`",
      "expected `,` or `}`",
      "expected `,` or `]`",
      "key must be a string",
      "trailing comma",
      "invalid number",
      "number out of range",
      "invalid escape",
      "invalid unicode code point",
      "lone leading surrogate in hex escape",
      "unexpected end of hex escape",
      "control character (\\u0000-\\u001F) found while parsing a string",
      "recursion limit exceeded",
      "trailing characters",
  };
  const std::string text = message.substr(0, message.rfind(" at line "));
  return std::find(std::begin(known), std::end(known), text) != std::end(known);
}

} // namespace fuzz
