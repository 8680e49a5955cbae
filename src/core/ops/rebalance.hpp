// Calendar rebalancing: cutting a panel down to one row per calendar period or to listed dates.
#pragma once

#include <cstdint>
#include <optional>

#include "core/panel.hpp"

namespace zorv::rebalance {

// Key shared by exactly the dates of one period. code: 0 ISO week (ISO year * 100 + week),
// 1 month (year * 100 + month), 2 quarter (year * 10 + quarter index 0-3), 3 year.
// Absent when the date is not a calendar date or the code lies outside 0-3.
std::optional<std::int64_t> period_key(std::int32_t date, std::uint8_t code);

} // namespace zorv::rebalance
