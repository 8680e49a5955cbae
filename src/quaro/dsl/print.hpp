// Canonical printer: a tree's JSON form back to quaro source.
#pragma once

#include <cstddef>
#include <string>

#include "quaro/json.hpp"

namespace quaro::print {

// Source text of any JSON value; never fails.
std::string format(const Value &v);

// As format, for a value standing at an indent level of two spaces each.
std::string format_at(const Value &v, std::size_t indent);

// Literal text: plain integers, floats and containers as compact JSON, strings quoted unescaped.
std::string literal(const Value &v);

} // namespace quaro::print
