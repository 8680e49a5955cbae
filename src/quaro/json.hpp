// The system's JSON value: nlohmann::json keeps object keys sorted byte-wise and holds
// unsigned, signed and float numbers apart.
#pragma once

#include <nlohmann/json.hpp>

namespace quaro {

using Value = nlohmann::json;

} // namespace quaro
