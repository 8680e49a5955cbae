// Linter: unused bindings and unknown series names in quaro source.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quaro/dsl/lex.hpp"
#include "util/expected.hpp"

namespace quaro::lint {

struct Lint {
  std::string message;
  std::size_t line = 0;
  std::size_t col = 0;
};

// Lints sorted by position, or the source's parse error. `series` lists the known series names;
// nullptr skips the unknown-series check (an empty list reports every series).
util::Expected<std::vector<Lint>, ParseError> lint(std::string_view src,
                                                   const std::vector<std::string> *series);

// Edit distance over Unicode scalar values; each byte that is not well-formed UTF-8 counts as
// one unit of its own.
std::size_t levenshtein(std::string_view a, std::string_view b);

} // namespace quaro::lint
