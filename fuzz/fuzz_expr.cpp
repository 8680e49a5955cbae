// The expression tree reader on arbitrary bytes: no crash; every tree read holds, for each field,
// the alternative its kind calls for (the evaluator's accessors rely on it); a text read as a
// tree is a JSON document the generic reader accepts too. The printer runs on every document.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "check.hpp"
#include "quaro/dsl/print.hpp"
#include "quaro/json.hpp"
#include "quaro/spec.hpp"

namespace {

using quaro::spec::Expr;
using quaro::spec::Kind;

std::string where(const Expr &e, std::size_t i) {
  const auto &def = quaro::spec::op_def(e.op);
  return std::string(def.name) + "." + std::string(def.fields[i].name);
}

void check_tree(const Expr &e, std::size_t depth) {
  FUZZ_CHECK(static_cast<std::size_t>(e.op) < quaro::spec::kOpCount, "operator out of range");
  FUZZ_CHECK(depth < 128, "tree deeper than the nesting limit allows");
  const auto &def = quaro::spec::op_def(e.op);
  FUZZ_CHECK(e.fields.size() == def.fields.size(), "field count differs from the operator's",
             std::string(def.name));
  for (std::size_t i = 0; i < e.fields.size(); ++i) {
    const quaro::spec::FieldValue &f = e.fields[i];
    const Kind k = def.fields[i].kind;
    if (std::holds_alternative<std::monostate>(f)) {
      FUZZ_CHECK(quaro::spec::is_optional(k), "required field absent", where(e, i));
      continue;
    }
    bool ok = false;
    switch (k) {
    case Kind::Expr:
    case Kind::OptExpr:
      if (const auto *p = std::get_if<std::unique_ptr<Expr>>(&f)) {
        FUZZ_CHECK(*p != nullptr, "null child", where(e, i));
        check_tree(**p, depth + 1);
        ok = true;
      }
      break;
    case Kind::ExprList:
      if (const auto *list = std::get_if<std::vector<Expr>>(&f)) {
        for (const Expr &child : *list)
          check_tree(child, depth + 2);
        ok = true;
      }
      break;
    case Kind::Count:
    case Kind::OptCount:
      ok = std::holds_alternative<std::uint64_t>(f);
      break;
    case Kind::Number:
    case Kind::OptNumber:
      ok = std::holds_alternative<double>(f) && std::isfinite(std::get<double>(f));
      break;
    case Kind::Flag:
      ok = std::holds_alternative<bool>(f);
      break;
    case Kind::Text:
    case Kind::OptText:
      ok = std::holds_alternative<std::string>(f);
      break;
    case Kind::OptTextList:
      ok = std::holds_alternative<std::vector<std::string>>(f);
      break;
    }
    FUZZ_CHECK(ok, "field holds the wrong alternative for its kind", where(e, i));
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text = fuzz::text(data, size);
  const auto tree = quaro::spec::read_expr(text);
  const auto generic = quaro::json::parse(text);
  // The printer takes any JSON value, well-formed tree or not.
  if (generic)
    (void)quaro::print::format(*generic);
  if (!tree) {
    FUZZ_CHECK(!tree.error().empty(), "empty error message");
    return 0;
  }
  check_tree(*tree, 1);
  FUZZ_CHECK(generic.has_value(), "a tree was read from text that is no JSON document",
             generic ? std::string() : generic.error());
  FUZZ_CHECK(generic->is_object() || generic->is_array(), "tree read from a scalar document");
  return 0;
}
