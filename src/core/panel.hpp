// Panel: a date x symbol matrix of doubles, the one data type flowing between operators.
//
// Cell conventions: NaN is a missing value; a cell is true only when it equals 1.0; boolean
// results are 1.0/0.0. Every operator reads its inputs and returns a new panel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <Eigen/Core>

#include "core/error.hpp"

namespace zorv {

using Matrix = Eigen::Array<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using IndustryMap = std::unordered_map<std::string, std::string>;

// The eight numeric binary operators of the expression tree.
enum class BinOp { Add, Sub, Mul, Div, Gt, Lt, Ge, Le };

struct HoldUntilOpts;

// A rows x cols matrix with its cells left uninitialised, for results that write every cell once.
// Large blocks ask for transparent huge pages before their first touch, which makes the page
// faults of fresh result memory far cheaper.
Matrix uninit_matrix(Eigen::Index rows, Eigen::Index cols);

// An industry label and the columns that carry it, columns in the order they were given.
struct IndustryGroup {
  std::string label;
  std::vector<std::size_t> cols;
};

struct Panel {
  std::vector<std::int32_t> dates;
  std::vector<std::string> symbols;
  Matrix data;

  Panel() = default;
  // Builds a panel of the given grid with every cell NaN.
  Panel(std::vector<std::int32_t> dates, std::vector<std::string> symbols);
  Panel(std::vector<std::int32_t> dates, std::vector<std::string> symbols, Matrix data);

  // Takes the three parts over; fails when data's shape is not dates x symbols.
  static Result<Panel> create(std::vector<std::int32_t> dates, std::vector<std::string> symbols,
                              Matrix data);

  std::size_t rows() const { return dates.size(); }
  std::size_t cols() const { return symbols.size(); }

  Panel shift(std::size_t n) const;

  // ---- element-wise (ops/arith) ----
  template <BinOp Op> Panel scalar_lhs(double k) const;
  template <BinOp Op> Panel scalar_rhs(double k) const;
  template <BinOp Op> Panel ewise(const Panel &rhs) const;
  Panel gt(const Panel &rhs) const;
  Panel lt(const Panel &rhs) const;
  Panel sub(const Panel &rhs) const;
  Panel div(const Panel &rhs) const;
  Panel and_(const Panel &rhs) const;
  Panel or_(const Panel &rhs) const;
  Panel mask(const Panel &cond) const;
  Panel not_() const;
  Panel neg() const;
  Panel ceil() const;

  // ---- moving windows and rank (ops/indicators) ----
  Panel pct_change(std::size_t n) const;
  Panel rise(std::size_t n) const;
  Panel fall(std::size_t n) const;
  Panel rolling_max(std::size_t n) const;
  Panel rolling_min(std::size_t n) const;
  Panel rolling_std(std::size_t n) const;
  Panel ema(std::size_t n) const;
  Panel rsi(std::size_t n) const;
  Panel average(std::size_t n) const;
  Panel rank_cs(bool pct, bool ascending) const;

  // ---- signal edges (ops/signals) and selection (ops/cross_section) ----
  Panel shift_false(std::size_t n) const;
  Panel is_entry() const;
  Panel is_exit() const;
  Panel sustain(std::size_t nwindow, std::optional<std::size_t> nsatisfy) const;
  Panel top_n(std::size_t n, bool largest) const;
  Panel normalize_row() const;

  // ---- calendar rebalancing (ops/rebalance) ----
  // code: 0 ISO week, 1 month, 2 quarter, 3 year.
  Result<Panel> rebalance_freq(std::uint8_t code) const;
  Panel rebalance_dates(const std::vector<std::int32_t> &keep) const;

  // ---- neutralisation and industry grouping (ops/neutralize) ----
  Panel neutralize(const std::vector<const Panel *> &factors, bool add_const) const;
  Panel neutralize(const std::vector<Panel> &factors, bool add_const) const;
  Matrix project_onto(const std::vector<std::int32_t> &dates,
                      const std::vector<std::string> &symbols) const;
  // Groups in the order their labels first appear among the given columns.
  static std::vector<IndustryGroup> group_cols_by_industry(const std::vector<std::string> &symbols,
                                                           const IndustryMap &industry,
                                                           const std::vector<std::size_t> &cols);
  Panel industry_rank(const IndustryMap &industry,
                      const std::optional<std::vector<std::string>> &categories) const;
  Panel neutralize_industry(const IndustryMap &industry) const;
  Result<Panel> groupby_category(const IndustryMap &industry, const std::string &agg) const;

  // ---- stateful rotation (ops/rotation) ----
  // HoldUntilOpts is defined in core/ops/rotation.hpp.
  Panel hold_until(const Panel &exit, const HoldUntilOpts &opts) const;
};

} // namespace zorv
