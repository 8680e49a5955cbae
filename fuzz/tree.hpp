// The shape of a tree the parser may build: every node a known operator with only its own
// fields, each of the kind its parameter allows.
#pragma once

#include <string>
#include <string_view>

#include "check.hpp"
#include "quaro/dsl/ops.hpp"

namespace fuzz {

inline bool is_identifier(std::string_view s) {
  auto start = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  auto rest = [&](char c) { return start(c) || (c >= '0' && c <= '9'); };
  if (s.empty() || !start(s[0]))
    return false;
  for (char c : s.substr(1))
    if (!rest(c))
      return false;
  return true;
}

// A number the parser makes from a literal: a non-negative integer or a finite non-negative float.
inline bool literal_number(const quaro::Value &v) {
  if (v.is_number_unsigned())
    return true;
  if (v.is_number_integer())
    return v.get<std::int64_t>() >= 0;
  if (v.is_number_float()) {
    const double d = v.get<double>();
    return d >= 0 && d <= 1.7976931348623157e308;
  }
  return false;
}

inline void check_node(const quaro::Value &v);

// Exactly the keys "op" plus `fields`.
inline void check_keys(const quaro::Value &v, std::initializer_list<const char *> fields) {
  FUZZ_CHECK(v.size() == fields.size() + 1, "node has foreign keys", show(v));
  for (const char *f : fields)
    FUZZ_CHECK(v.contains(f), "node lacks a field", show(v));
}

inline void check_node(const quaro::Value &v) {
  using K = quaro::ops::ParamKind;
  FUZZ_CHECK(v.is_object(), "node is not an object", show(v));
  const auto op_it = v.find("op");
  FUZZ_CHECK(op_it != v.end() && op_it->is_string(), "node without a string op", show(v));
  const std::string &op = op_it->get_ref<const std::string &>();
  if (op == "Data") {
    check_keys(v, {"name"});
    const quaro::Value &name = v["name"];
    FUZZ_CHECK(name.is_string() && is_identifier(name.get_ref<const std::string &>()),
               "Data name is not an identifier", show(v));
    const std::string &n = name.get_ref<const std::string &>();
    FUZZ_CHECK(n != "let" && n != "true" && n != "false" && n != "not", "Data name is a keyword",
               show(v));
    return;
  }
  if (op == "Const") {
    check_keys(v, {"value"});
    FUZZ_CHECK(literal_number(v["value"]), "Const value is not a literal number", show(v));
    return;
  }
  if (op == "Neg" || op == "Not") {
    check_keys(v, {"of"});
    check_node(v["of"]);
    return;
  }
  if (quaro::ops::binop_symbol_for_tag(op)) {
    check_keys(v, {"l", "r"});
    check_node(v["l"]);
    check_node(v["r"]);
    return;
  }
  const quaro::ops::OpSpec *row = quaro::ops::find_by_tag(op);
  FUZZ_CHECK(row != nullptr, "unknown op in tree", show(v));
  std::size_t present = 1;
  for (const quaro::ops::ParamSpec &p : row->params) {
    const auto it = v.find(std::string(p.name));
    if (it == v.end()) {
      FUZZ_CHECK(!quaro::ops::required(p.kind), "required parameter missing", show(v));
      continue;
    }
    ++present;
    const quaro::Value &a = *it;
    switch (p.kind) {
    case K::Expr:
    case K::OptExpr:
      check_node(a);
      break;
    case K::ExprList:
      FUZZ_CHECK(a.is_array(), "expression list is not an array", show(v));
      for (const quaro::Value &e : a)
        check_node(e);
      break;
    case K::Number:
    case K::OptNumber:
      FUZZ_CHECK(literal_number(a), "number parameter is not a literal number", show(v));
      break;
    case K::OptBool:
      FUZZ_CHECK(a.is_boolean(), "flag parameter is not a boolean", show(v));
      break;
    case K::Str:
    case K::OptStr:
      FUZZ_CHECK(a.is_string(), "text parameter is not a string", show(v));
      break;
    case K::OptStrList:
      FUZZ_CHECK(a.is_array(), "text list parameter is not an array", show(v));
      break;
    }
  }
  FUZZ_CHECK(present == v.size(), "call node has foreign keys", show(v));
}

} // namespace fuzz
