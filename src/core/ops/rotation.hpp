// Stateful rotation: holdings from entry and exit signals, a holding limit, an optional entry
// priority and optional price stops.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

#include "core/panel.hpp"

namespace zorv {

struct HoldUntilOpts {
  // Most symbols held on one row; absent: as many as the aligned grid has symbols.
  std::optional<std::size_t> nstocks_limit;
  // Priority of new entries, higher is better; null: every new entry has priority 0. Not owned;
  // must outlive the call.
  const Panel *rank = nullptr;
  // Prices for the stops; null: no price. Not owned; must outlive the call.
  const Panel *price = nullptr;
  // Only the magnitudes of the four levels count.
  double stop_loss = -std::numeric_limits<double>::infinity();
  double take_profit = std::numeric_limits<double>::infinity();
  double trail_stop = std::numeric_limits<double>::infinity();
  double trail_stop_activation = 0.0;
};

namespace rotation {

// Positions 0..len-1 ordered ascending by value, equal values by ascending position. NaN sorts
// after every number.
std::vector<std::size_t> argsort_stable(const std::vector<double> &values);

// Finite cells scaled by the grid's finite minimum and range into [0, 1]; NaN and infinite
// cells, and every cell of a grid whose range is 0, become 0.0.
Matrix normalize_ranking(const Matrix &grid);

// Runs the price stops for row t >= 1 of the held grid: refreshes each symbol's entry price and
// peak ratio and sets exit(t, j) = 1.0 where a stop fires. With every stop off it changes
// nothing; with a stop on it needs a price grid of the held grid's shape, else it fails.
Result<void> apply_price_stops(const Matrix &held, std::vector<double> &entry_price,
                               std::vector<double> &peak, Matrix &exit, const Matrix *price,
                               std::size_t t, const HoldUntilOpts &opts);

} // namespace rotation

} // namespace zorv
