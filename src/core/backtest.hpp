// The daily portfolio simulation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/panel.hpp"

namespace zorv {

// Every knob not given is 0 / absent: costs, caps, delisting and bootstrap are off by default.
struct BacktestConfig {
  std::optional<std::string> benchmark_key{};
  double fee_ratio = 0.0;
  double tax_ratio = 0.0;
  double position_limit = 0.0;
  double slippage_ratio = 0.0;
  double initial_capital = 0.0;
  double max_participation = 0.0;
  double impact_coef = 0.0;
  std::uint64_t delist_after = 0;
  double delist_haircut = 0.0;
  std::uint64_t bootstrap_samples = 0;
  std::uint64_t bootstrap_block = 0;
};

struct Trade {
  std::string symbol;
  std::int32_t entry_date = 0;
  std::optional<std::int32_t> exit_date;
  double ret = 0.0;
  std::uint32_t period = 0;
  std::optional<double> mae;
  std::optional<double> mfe;
};

struct BacktestRun {
  std::vector<std::int32_t> dates;
  std::vector<double> equity;
  std::vector<Trade> trades;
  // Per-date sum of absolute target weights after all caps.
  std::vector<double> exposure;
};

namespace backtest {

// Simulates holding the weights on the grid of weights aligned with prices; high, low and volume
// are optional. A grid without dates gives an empty run. Fails only on an infinite weight
// instruction, which cannot be simulated.
Result<BacktestRun> run(const Panel &weights, const Panel &price, const Panel *high,
                        const Panel *low, const Panel *volume, const BacktestConfig &config);

// The source's cells on the grid panel's dates and symbols (NaN elsewhere); never widens the grid.
std::optional<Matrix> conform_to(const Panel &grid, const Panel *source);

} // namespace backtest
} // namespace zorv
