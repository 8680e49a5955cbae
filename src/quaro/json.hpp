// The system's JSON value: nlohmann::json keeps object keys sorted byte-wise and holds
// unsigned, signed and float numbers apart.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "util/expected.hpp"

namespace quaro {

using Value = nlohmann::json;

namespace json {

// Reads one JSON document (RFC 8259) into a value. A number without fraction or exponent is an
// unsigned integer (signed when negative) while it fits, otherwise a correctly rounded double;
// "-0" is the double -0.0. A repeated object key keeps its last value. Containers nest at most
// 127 deep. Every failure is one message of the form "{} at line {} column {}", the column
// counted in bytes from the start of the line.
util::Expected<Value, std::string> parse(std::string_view text);

} // namespace json
} // namespace quaro
