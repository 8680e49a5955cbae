#include "core/bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "core/metrics.hpp"

namespace zorv::bootstrap {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

} // namespace

std::uint64_t SplitMix64::next() {
  state += 0x9e3779b97f4a7c15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t block_length(std::uint64_t requested, std::size_t m) {
  if (requested != 0) {
    return requested;
  }
  const auto root = static_cast<std::uint64_t>(std::floor(std::sqrt(static_cast<double>(m))));
  return std::max<std::uint64_t>(root, 1);
}

Result<std::optional<BootstrapSummary>> bootstrap(std::span<const std::int32_t> dates,
                                                  std::span<const double> equity,
                                                  std::uint64_t n_samples, std::uint64_t block_len,
                                                  std::uint64_t seed) {
  const std::size_t n = equity.size();
  if (dates.size() != n || n < 3 || n_samples == 0) {
    return std::optional<BootstrapSummary>{};
  }

  // The three result lists are taken in one piece before sampling. A count the allocator
  // refuses is the caller's error, not a crash; the explicit bound also covers counts that do
  // not fit in size_t.
  std::vector<double> sharpes, growths, drawdowns;
  const auto too_large = [&] {
    return eval_error("bootstrap_samples " + std::to_string(n_samples) + " is too large");
  };
  if (n_samples > sharpes.max_size()) {
    return too_large();
  }
  try {
    sharpes.reserve(n_samples);
    growths.reserve(n_samples);
    drawdowns.reserve(n_samples);
  } catch (const std::bad_alloc &) {
    return too_large();
  } catch (const std::length_error &) {
    return too_large();
  }

  const std::size_t m = n - 1;
  std::vector<double> pool(m);
  for (std::size_t i = 1; i < n; ++i) {
    pool[i - 1] = equity[i] / equity[i - 1] - 1.0;
  }
  const std::uint64_t len = block_length(block_len, m);
  const double years = metrics::year_frac(dates.front(), dates.back());

  SplitMix64 rng{seed};
  std::vector<double> curve(n);
  for (std::uint64_t s = 0; s < n_samples; ++s) {
    curve[0] = 1.0;
    std::size_t filled = 1;
    while (filled < n) {
      std::size_t p = static_cast<std::size_t>(rng.next() % m);
      for (std::uint64_t b = 0; b < len && filled < n; ++b) {
        curve[filled] = curve[filled - 1] * (1.0 + pool[p]);
        ++filled;
        if (++p == m) {
          p = 0;
        }
      }
    }
    sharpes.push_back(metrics::sharpe(curve));
    growths.push_back(metrics::annual_growth(curve[n - 1] / curve[0], years));
    drawdowns.push_back(metrics::max_drawdown(curve));
  }

  BootstrapSummary out;
  out.n_samples = n_samples;
  out.block_len = len;
  out.sharpe = ci(std::move(sharpes));
  out.cagr = ci(std::move(growths));
  out.max_drawdown = ci(std::move(drawdowns));
  return std::optional<BootstrapSummary>{out};
}

BootstrapCi ci(std::vector<double> values) {
  values.erase(std::remove_if(values.begin(), values.end(), [](double x) { return std::isnan(x); }),
               values.end());
  const std::size_t k = values.size();
  if (k == 0) {
    return {NaN, NaN, NaN};
  }
  // operator< treats -0.0 and 0.0 as equal, so the stable sort keeps their order.
  std::stable_sort(values.begin(), values.end());
  const auto at = [&](double q) {
    const double idx = std::round(q * static_cast<double>(k - 1));
    return values[std::min(static_cast<std::size_t>(idx), k - 1)];
  };
  return {at(0.05), at(0.5), at(0.95)};
}

} // namespace zorv::bootstrap
