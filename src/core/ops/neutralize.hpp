// Regression and industry neutralisation, industry ranks and per-industry aggregates.
#pragma once

#include <span>
#include <string>

#include "core/panel.hpp"

namespace zorv::neutralize {

// Label of symbols the industry map lacks (and of every symbol when the map is empty).
inline constexpr const char *kOtherLabel = "其他";

// "sum" (from -0.0, in order), "mean", "std" (sample; NaN below two values) of a non-empty
// list; any other name fails with "bad groupby agg '{}'".
Result<double> aggregate(const std::string &agg, std::span<const double> values);

} // namespace zorv::neutralize
