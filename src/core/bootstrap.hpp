// Circular block bootstrap of a run's daily returns: how much the Sharpe ratio, the compound
// growth and the maximum drawdown depend on the order of good and bad days.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace zorv {

// 5 %, 50 % and 95 % quantiles of the non-NaN sample values (NaN when there is none).
struct BootstrapCi {
  double p05 = 0.0;
  double p50 = 0.0;
  double p95 = 0.0;
};

struct BootstrapSummary {
  std::uint64_t n_samples = 0;
  std::uint64_t block_len = 0;
  BootstrapCi sharpe;
  BootstrapCi cagr;
  BootstrapCi max_drawdown;
};

namespace bootstrap {

// The SplitMix64 generator; the state starts at the seed.
struct SplitMix64 {
  std::uint64_t state;
  std::uint64_t next();
};

// The requested length, or floor(sqrt(m)) (at least 1) for a request of 0.
std::uint64_t block_length(std::uint64_t requested, std::size_t m);

// Absent unless dates and equity have the same length n >= 3 and n_samples >= 1. Fails only
// when the result lists for n_samples entries cannot be allocated.
Result<std::optional<BootstrapSummary>> bootstrap(std::span<const std::int32_t> dates,
                                                  std::span<const double> equity,
                                                  std::uint64_t n_samples, std::uint64_t block_len,
                                                  std::uint64_t seed);

// Nearest-rank quantiles (halves rounded away from zero) of the values without their NaNs.
BootstrapCi ci(std::vector<double> values);

} // namespace bootstrap
} // namespace zorv
