// The strategy expression tree and the reading of its JSON form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "util/expected.hpp"

namespace quaro::spec {

// Declaration order is fixed: it is the operator index of the JSON form, the order of the
// operator list in messages and the evaluator's dispatch order.
enum class Op : std::uint8_t {
  Data,
  Const,
  Average,
  Ema,
  Std,
  Rsi,
  PctChange,
  Rise,
  Shift,
  RollingMax,
  Atr,
  Natr,
  WillR,
  Cci,
  StochK,
  StochD,
  AroonUp,
  AroonDown,
  Adx,
  PlusDi,
  MinusDi,
  Obv,
  Mfi,
  Vwap,
  Fall,
  IsLargest,
  IsSmallest,
  Sustain,
  IsEntry,
  IsExit,
  Gt,
  Lt,
  Ge,
  Le,
  And,
  Or,
  Not,
  Add,
  Sub,
  Mul,
  Div,
  Neg,
  Ceil,
  Rank,
  Mask,
  NormalizeRow,
  HoldUntil,
  Rebalance,
  Neutralize,
  NeutralizeIndustry,
  IndustryRank,
  GroupbyCategory
};
inline constexpr std::size_t kOpCount = 52;

// Field kinds; the Opt* kinds may be absent (key left out or null).
enum class Kind : std::uint8_t {
  Expr,
  OptExpr,
  ExprList,
  Count,
  OptCount,
  Number,
  OptNumber,
  Flag,
  Text,
  OptText,
  OptTextList
};

constexpr bool is_optional(Kind k) {
  return k == Kind::OptExpr || k == Kind::OptCount || k == Kind::OptNumber || k == Kind::OptText ||
         k == Kind::OptTextList;
}

struct Field {
  std::string_view name;
  Kind kind;
  // A defaulted field may be left out of both forms (object and array): a count or flag then
  // takes `default_value` (a flag reads it as 0/1), an optional field stays absent. An optional
  // field that is not defaulted may be left out of the object form only.
  bool defaulted = false;
  std::uint64_t default_value = 0;
};

struct OpDef {
  std::string_view name;
  std::span<const Field> fields;
};

// The 52 operators in declaration order.
const std::array<OpDef, kOpCount> &op_table();
const OpDef &op_def(Op op);
std::string_view op_name(Op op);
std::optional<Op> op_from_name(std::string_view name);
// Index of the field called `name` in the operator's declaration order.
std::optional<std::size_t> field_index(Op op, std::string_view name);

struct Expr;
// One field value; the alternative follows the field's kind; monostate = absent optional.
using FieldValue = std::variant<std::monostate, std::unique_ptr<Expr>, std::vector<Expr>,
                                std::uint64_t, double, bool, std::string, std::vector<std::string>>;

struct Expr {
  Op op;
  std::vector<FieldValue> fields; // in the operator's declaration order, defaults filled in

  const Expr &expr(std::size_t i) const;
  const Expr *opt_expr(std::size_t i) const; // nullptr when absent
  const std::vector<Expr> &exprs(std::size_t i) const;
  std::uint64_t count(std::size_t i) const;
  std::optional<std::uint64_t> opt_count(std::size_t i) const;
  double number(std::size_t i) const;
  std::optional<double> opt_number(std::size_t i) const;
  bool flag(std::size_t i) const;
  const std::string &text(std::size_t i) const;
  const std::string *opt_text(std::size_t i) const;               // nullptr when absent
  const std::vector<std::string> *opt_texts(std::size_t i) const; // nullptr when absent
};

// Reads a tree from its JSON form (object or array form, operator names or, below the top,
// operator indexes). Fails with one message; syntax and top-level shape errors carry
// " at line {} column {}", errors inside the members do not.
util::Expected<Expr, std::string> read_expr(std::string_view text);

} // namespace quaro::spec
