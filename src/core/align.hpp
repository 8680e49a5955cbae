// Alignment of two panels onto one common grid.
#pragma once

#include <utility>

#include "core/panel.hpp"

namespace zorv::align {

// Dates: sorted union without repeats. Symbols: a's symbols (in a's order, repeats kept) that b
// also holds.
std::pair<Panel, Panel> align(const Panel &a, const Panel &b);

// The panel on exactly the given dates and symbols; NaN where it has no cell. A repeated date or
// symbol of the panel resolves to its last occurrence.
Panel project(const Panel &p, const std::vector<std::int32_t> &dates,
              const std::vector<std::string> &symbols);

} // namespace zorv::align
