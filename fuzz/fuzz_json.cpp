// The JSON reader on arbitrary bytes: no crash; errors carry their position; a value read back
// from its own compact text is the same value; and the reader agrees with nlohmann's parser
// except for the nesting limit, a leading BOM and "-0".
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "check.hpp"
#include "quaro/json.hpp"

namespace {

// Our reader makes "-0" the float -0.0, nlohmann an integer 0.
bool agrees_with_nlohmann(const quaro::Value &ours, const quaro::Value &theirs) {
  if (ours.is_number_float() && ours.get<double>() == 0 && std::signbit(ours.get<double>()))
    return (theirs.is_number_integer() && theirs.get<std::int64_t>() == 0) ||
           fuzz::strict_equal(ours, theirs);
  if (ours.is_structured()) {
    if (ours.type() != theirs.type() || ours.size() != theirs.size())
      return false;
    if (ours.is_array()) {
      for (std::size_t i = 0; i < ours.size(); ++i)
        if (!agrees_with_nlohmann(ours[i], theirs[i]))
          return false;
      return true;
    }
    for (auto a = ours.begin(), b = theirs.begin(); a != ours.end(); ++a, ++b)
      if (a.key() != b.key() || !agrees_with_nlohmann(*a, *b))
        return false;
    return true;
  }
  return fuzz::strict_equal(ours, theirs);
}

// Signed integers hold only negative values.
void check_integers(const quaro::Value &v) {
  if (v.is_number_integer() && !v.is_number_unsigned())
    FUZZ_CHECK(v.get<std::int64_t>() < 0, "non-negative integer held as signed", fuzz::show(v));
  if (v.is_structured())
    for (const quaro::Value &child : v)
      check_integers(child);
}

// The text's line count and the byte length of each line bound the reported position.
void check_position(std::string_view text, const std::string &message) {
  const std::size_t at = message.rfind(" at line ");
  FUZZ_CHECK(at != std::string::npos && at > 0, "error without a position", message);
  unsigned long line = 0, column = 0;
  int used = 0;
  const std::string suffix = message.substr(at);
  FUZZ_CHECK(std::sscanf(suffix.c_str(), " at line %lu column %lu%n", &line, &column, &used) == 2 &&
                 static_cast<std::size_t>(used) == suffix.size(),
             "malformed position suffix", message);
  std::size_t lines = 1, start = 0;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n') {
      if (lines == line)
        break;
      ++lines;
      start = i + 1;
    }
  FUZZ_CHECK(line >= 1 && line <= lines, "error line outside the text", message);
  const std::size_t end = text.find('\n', start);
  const std::size_t length = (end == std::string_view::npos ? text.size() : end) - start;
  FUZZ_CHECK(column <= length + 1, "error column past the end of its line", message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text = fuzz::text(data, size);
  const auto value = quaro::json::parse(text);
  // nlohmann takes a NUL byte for the end of the input, so such texts are not compared.
  const bool compare = text.find('\0') == std::string_view::npos;
  const quaro::Value theirs =
      compare ? quaro::Value::parse(text.begin(), text.end(), nullptr, false) : quaro::Value();

  if (!value) {
    const std::string &m = value.error();
    check_position(text, m);
    FUZZ_CHECK(fuzz::known_json_message(m), "unknown error message", m);
    if (compare && !theirs.is_discarded()) {
      const bool stricter = m.rfind("recursion limit exceeded", 0) == 0 ||
                            text.substr(0, 3) == "\xEF\xBB\xBF"; // nlohmann skips a BOM
      FUZZ_CHECK(stricter, "refuses a document nlohmann reads", m);
    }
    return 0;
  }

  check_integers(*value);
  if (compare) {
    FUZZ_CHECK(!theirs.is_discarded(), "reads a document nlohmann refuses", fuzz::show(*value));
    FUZZ_CHECK(agrees_with_nlohmann(*value, theirs), "reads another value than nlohmann",
               fuzz::show(*value) + "\n" + fuzz::show(theirs));
  }

  std::string dumped;
  try {
    dumped = value->dump();
  } catch (const std::exception &e) {
    fuzz::fail("value does not print as JSON text", e.what());
  }
  const auto again = quaro::json::parse(dumped);
  FUZZ_CHECK(again.has_value(), "printed value does not read back",
             dumped + "\n" + (again ? std::string() : again.error()));
  FUZZ_CHECK(fuzz::strict_equal(*value, *again), "printed value reads back as another value",
             dumped + "\n" + fuzz::show(*again));
  return 0;
}
