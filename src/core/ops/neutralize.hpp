// Regression and industry neutralisation, industry ranks and per-industry aggregates.
#pragma once

#include <span>
#include <string>

#include "core/panel.hpp"

namespace zorv::neutralize {

// Label of symbols the industry map lacks (and of every symbol when the map is empty).
// "其他" in UTF-8, spelled out so the bytes do not depend on the compiler's execution charset.
inline constexpr const char *kOtherLabel = "\xE5\x85\xB6\xE4\xBB\x96";

// "sum" (from -0.0, in order), "mean", "std" (sample; NaN below two values) of a non-empty
// list; any other name fails with "bad groupby agg '{}'".
Result<double> aggregate(const std::string &agg, std::span<const double> values);

} // namespace zorv::neutralize
