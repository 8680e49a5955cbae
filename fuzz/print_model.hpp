// A plain model of the canonical printer, written straight from its layout rules, for
// differential fuzzing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quaro/dsl/ops.hpp"
#include "quaro/json.hpp"

namespace fuzz {

inline std::string literal_model(const quaro::Value &v) {
  if (v.is_number_unsigned())
    return std::to_string(v.get<std::uint64_t>());
  if (v.is_number_integer())
    return std::to_string(v.get<std::int64_t>());
  if (v.is_string())
    return "\"" + v.get<std::string>() + "\"";
  return v.dump(-1, ' ', false, quaro::Value::error_handler_t::replace);
}

inline std::string print_model(const quaro::Value &v, std::size_t indent) {
  using K = quaro::ops::ParamKind;
  static const quaro::Value null_value;
  auto field = [&](const char *key) -> const quaro::Value & {
    const auto it = v.find(key);
    return it == v.end() ? null_value : *it;
  };
  if (!v.is_object() || !v.contains("op") || !v["op"].is_string())
    return literal_model(v);
  const std::string op = v["op"].get<std::string>();
  if (op == "Neg")
    return "(-" + print_model(field("of"), indent) + ")";
  if (op == "Not")
    return "(not " + print_model(field("of"), indent) + ")";
  if (op == "Const")
    return literal_model(field("value"));
  if (op == "Data")
    return field("name").is_string() ? field("name").get<std::string>() : "?";
  if (op == "Ceil")
    return "ceil(" + print_model(field("of"), indent) + ")";
  if (const auto symbol = quaro::ops::binop_symbol_for_tag(op))
    return "(" + print_model(field("l"), indent) + " " + std::string(*symbol) + " " +
           print_model(field("r"), indent) + ")";
  const quaro::ops::OpSpec *row = quaro::ops::find_by_tag(op);
  if (!row)
    return "(/* unprintable op " + op + " */)";

  auto is_compound = [](const quaro::Value &a) {
    return a.is_object() && a.contains("op") && a["op"].is_string() && a["op"] != "Const" &&
           a["op"] != "Data";
  };
  std::vector<std::string> args;
  bool keyword = false, compound = false;
  for (const quaro::ops::ParamSpec &p : row->params) {
    const std::string name(p.name);
    if (!v.contains(name)) {
      keyword = true;
      continue;
    }
    const quaro::Value &a = v[name];
    std::string text;
    if (p.kind == K::Expr || p.kind == K::OptExpr) {
      text = print_model(a, indent + 1);
      compound = compound || is_compound(a);
    } else if (p.kind == K::ExprList || p.kind == K::OptStrList) {
      std::vector<std::string> parts;
      if (a.is_array())
        for (const quaro::Value &e : a) {
          parts.push_back(p.kind == K::ExprList ? print_model(e, indent + 1) : literal_model(e));
          compound = compound || (p.kind == K::ExprList && is_compound(e));
        }
      text = "[";
      for (std::size_t k = 0; k < parts.size(); ++k)
        text += (k ? ", " : "") + parts[k];
      text += "]";
    } else {
      text = literal_model(a);
    }
    const bool positional = p.kind == K::Expr || p.kind == K::Number || p.kind == K::Str;
    if (!positional || keyword) {
      keyword = true;
      text = name + "=" + text;
    }
    args.push_back(text);
  }
  const std::string inner(2 * (indent + 1), ' ');
  std::string out = std::string(row->aliases.front()) + (compound ? "(\n" + inner : "(");
  for (std::size_t k = 0; k < args.size(); ++k)
    out += (k ? (compound ? ",\n" + inner : ", ") : "") + args[k];
  return out + (compound ? "\n" + std::string(2 * indent, ' ') + ")" : ")");
}

} // namespace fuzz
