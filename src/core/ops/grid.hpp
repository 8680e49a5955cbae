// Helpers shared by the operators in this directory.
#pragma once

#include <string_view>
#include <unordered_set>

#include "core/panel.hpp"

namespace zorv::ops {

// True when aligning the panel with another panel of the same grid gives that grid back
// unchanged: dates strictly ascending, no symbol repeated. Operators composed from two-panel
// operators over one input may then skip the alignment.
inline bool grid_is_canonical(const Panel &p) {
  for (std::size_t i = 1; i < p.dates.size(); ++i) {
    if (p.dates[i] <= p.dates[i - 1]) {
      return false;
    }
  }
  std::unordered_set<std::string_view> seen;
  seen.reserve(p.symbols.size());
  for (const auto &s : p.symbols) {
    if (!seen.insert(s).second) {
      return false;
    }
  }
  return true;
}

} // namespace zorv::ops
