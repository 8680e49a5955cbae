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

// The inputs of one run on its simulation grid: the weights aligned with the prices, and the
// optional grids conformed onto them once.
struct Inputs {
  std::vector<std::int32_t> dates;
  std::vector<std::string> symbols;
  Matrix weights;
  Matrix price;
  // Both or neither: excursions need high and low together.
  std::optional<Matrix> high;
  std::optional<Matrix> low;
  // volume x the last valid price, only when a participation cap or the impact needs it.
  std::optional<Matrix> dollar_volume;
  // Per-cell delisting bits (kDelisted, kEvent); empty when delisting is off.
  std::vector<std::uint8_t> flags;

  std::size_t rows() const { return dates.size(); }
  std::size_t cols() const { return symbols.size(); }
};

inline constexpr std::uint8_t kDelisted = 1;
inline constexpr std::uint8_t kEvent = 2;

// The held instructions after the gross cap, position limit and participation caps.
struct Targets {
  Matrix weights;
  // Per date: 1 when the held instructions changed (always on the first date).
  std::vector<std::uint8_t> rebalance;
  // Per date: the sum of absolute target weights after all caps.
  std::vector<double> exposure;
};

// A finished trade by grid row and column, before it is given its symbol and dates.
struct TradeRecord {
  std::size_t col = 0;
  std::size_t entry = 0;
  std::size_t exit = 0;
  bool closed = false;
  bool has_excursion = false;
  double ret = 0.0;
  double mae = 0.0;
  double mfe = 0.0;
};

// Simulates holding the weights on the grid of weights aligned with prices; high, low and volume
// are optional. A grid without dates gives an empty run. Fails only on an infinite weight
// instruction, which cannot be simulated.
Result<BacktestRun> run(const Panel &weights, const Panel &price, const Panel *high,
                        const Panel *low, const Panel *volume, const BacktestConfig &config);

// The source's cells on the grid panel's dates and symbols (NaN elsewhere); never widens the grid.
std::optional<Matrix> conform_to(const Panel &grid, const Panel *source);

// The phases of `run`, in the order it calls them.
Inputs conform(const Panel &weights, const Panel &price, const Panel *high, const Panel *low,
               const Panel *volume, const BacktestConfig &config);
// Fails on an infinite weight that would become a held instruction.
Result<Targets> targets(const Inputs &in, const BacktestConfig &config);
std::vector<double> equity_curve(const Inputs &in, const Targets &targets,
                                 const BacktestConfig &config);
// In date order.
std::vector<TradeRecord> trade_records(const Inputs &in, const Targets &targets,
                                       const BacktestConfig &config);
// Symbol by symbol, each symbol's trades in entry order.
std::vector<Trade> trade_list(const Inputs &in, const std::vector<TradeRecord> &records);

} // namespace backtest
} // namespace zorv
