// The language's vocabulary: the named calls and the infix operators.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quaro::ops {

enum class ParamKind : std::uint8_t {
  Expr,
  OptExpr,
  ExprList,
  Number,
  OptNumber,
  OptBool,
  Str,
  OptStr,
  OptStrList,
};

// A required argument must be given; an optional one left out stays out of the node.
constexpr bool required(ParamKind k) {
  return k == ParamKind::Expr || k == ParamKind::ExprList || k == ParamKind::Number ||
         k == ParamKind::Str;
}

// Kinds the printer may write without their keyword.
constexpr bool positional(ParamKind k) {
  return k == ParamKind::Expr || k == ParamKind::Number || k == ParamKind::Str;
}

struct ParamSpec {
  ParamKind kind;
  std::string_view name; // keyword in source and field name in the node
};

struct OpSpec {
  std::vector<std::string_view> aliases; // the first is the canonical name
  std::string_view tag;                  // the node's "op"
  std::vector<ParamSpec> params;         // positional order
  std::string_view doc;
};

struct BinOpSpec {
  std::string_view symbol;
  std::string_view tag;
};

extern const std::array<OpSpec, 38> OP_TABLE;

inline constexpr std::array<BinOpSpec, 10> BINOP_TABLE{{
    {">", "Gt"},
    {"<", "Lt"},
    {">=", "Ge"},
    {"<=", "Le"},
    {"and", "And"},
    {"or", "Or"},
    {"+", "Add"},
    {"-", "Sub"},
    {"*", "Mul"},
    {"/", "Div"},
}};

// First row with that alias (exact, case sensitive), or nullptr.
const OpSpec *find_by_alias(std::string_view alias);

// First row with that tag, or nullptr.
const OpSpec *find_by_tag(std::string_view tag);

std::optional<std::string_view> binop_tag(std::string_view symbol);
std::optional<std::string_view> binop_symbol_for_tag(std::string_view tag);

} // namespace quaro::ops
