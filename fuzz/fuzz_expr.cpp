// The expression tree reader on arbitrary bytes, against a model of the tree's JSON form built on
// the generic JSON reader: the reader takes exactly the documents the model takes, and every tree
// it returns holds, field by field, the model's value (defaults filled in, each field in the
// alternative its kind calls for, which the evaluator's accessors rely on). The printer runs on
// every JSON document, against a model of its layout rules.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "check.hpp"
#include "print_model.hpp"
#include "quaro/dsl/print.hpp"
#include "quaro/json.hpp"
#include "quaro/spec.hpp"

namespace {

using quaro::Value;
using quaro::spec::Expr;
using quaro::spec::FieldValue;
using quaro::spec::Kind;
using quaro::spec::Op;

std::optional<Op> model_op(const Value &op, bool top) {
  if (op.is_string())
    return quaro::spec::op_from_name(op.get_ref<const std::string &>());
  if (!top && op.is_number_unsigned() && op.get<std::uint64_t>() < quaro::spec::kOpCount)
    return static_cast<Op>(op.get<std::uint64_t>());
  return std::nullopt;
}

std::string where(Op op, std::size_t k) {
  const auto &def = quaro::spec::op_def(op);
  return std::string(def.name) + "." + std::string(def.fields[k].name);
}

bool model_node(const Value &v, bool top, const Expr *got);

// Whether `v` converts as a field of kind `kind`; when the reader gave `got`, it must hold the
// converted value.
bool model_field(const Value &v, Kind kind, const FieldValue *got, const std::string &at) {
  auto expect = [&](bool ok) {
    FUZZ_CHECK(!got || ok, "field differs from its JSON value", at);
    return true;
  };
  if (quaro::spec::is_optional(kind) && v.is_null())
    return !got || expect(std::holds_alternative<std::monostate>(*got));
  switch (kind) {
  case Kind::Expr:
  case Kind::OptExpr: {
    const auto *child = got ? std::get_if<std::unique_ptr<Expr>>(got) : nullptr;
    FUZZ_CHECK(!got || (child && *child), "expression field without a child", at);
    return model_node(v, false, child ? child->get() : nullptr);
  }
  case Kind::ExprList: {
    if (!v.is_array())
      return false;
    const auto *list = got ? std::get_if<std::vector<Expr>>(got) : nullptr;
    FUZZ_CHECK(!got || (list && list->size() == v.size()), "expression list differs", at);
    for (std::size_t i = 0; i < v.size(); ++i)
      if (!model_node(v[i], false, list ? &(*list)[i] : nullptr))
        return false;
    return true;
  }
  case Kind::Count:
  case Kind::OptCount:
    if (!v.is_number_unsigned())
      return false;
    return !got || expect(std::holds_alternative<std::uint64_t>(*got) &&
                          std::get<std::uint64_t>(*got) == v.get<std::uint64_t>());
  case Kind::Number:
  case Kind::OptNumber: {
    if (!v.is_number())
      return false;
    if (!got)
      return true;
    const double want = v.is_number_unsigned()  ? static_cast<double>(v.get<std::uint64_t>())
                        : v.is_number_integer() ? static_cast<double>(v.get<std::int64_t>())
                                                : v.get<double>();
    const double *have = std::get_if<double>(got);
    return expect(have && std::memcmp(have, &want, sizeof want) == 0);
  }
  case Kind::Flag:
    if (!v.is_boolean())
      return false;
    return !got || expect(std::holds_alternative<bool>(*got) && std::get<bool>(*got) == v);
  case Kind::Text:
  case Kind::OptText:
    if (!v.is_string())
      return false;
    return !got || expect(std::holds_alternative<std::string>(*got) &&
                          std::get<std::string>(*got) == v.get_ref<const std::string &>());
  case Kind::OptTextList: {
    if (!v.is_array())
      return false;
    for (const Value &e : v)
      if (!e.is_string())
        return false;
    if (!got)
      return true;
    const auto *list = std::get_if<std::vector<std::string>>(got);
    bool same = list && list->size() == v.size();
    for (std::size_t i = 0; same && i < v.size(); ++i)
      same = (*list)[i] == v[i].get_ref<const std::string &>();
    return expect(same);
  }
  }
  return false;
}

bool model_node(const Value &v, bool top, const Expr *got) {
  std::optional<Op> op;
  std::vector<const Value *> given;
  const bool array_form = v.is_array();
  if (v.is_object()) {
    const auto it = v.find("op");
    if (it == v.end() || !(op = model_op(*it, top)))
      return false;
    given.assign(quaro::spec::op_def(*op).fields.size(), nullptr);
    for (auto m = v.begin(); m != v.end(); ++m)
      if (const auto k = quaro::spec::field_index(*op, m.key()))
        given[*k] = &*m;
  } else if (array_form) {
    if (v.empty() || !(op = model_op(v[0], top)))
      return false;
    given.assign(quaro::spec::op_def(*op).fields.size(), nullptr);
    if (v.size() - 1 > given.size())
      return false;
    for (std::size_t k = 0; k + 1 < v.size(); ++k)
      given[k] = &v[k + 1];
  } else {
    return false;
  }

  const auto &fields = quaro::spec::op_def(*op).fields;
  FUZZ_CHECK(!got || (got->op == *op && got->fields.size() == fields.size()),
             "node differs in operator or field count", fuzz::show(v));
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const quaro::spec::Field &f = fields[k];
    const FieldValue *have = got ? &got->fields[k] : nullptr;
    if (given[k]) {
      if (!model_field(*given[k], f.kind, have, where(*op, k)))
        return false;
      continue;
    }
    // Left out: the array form may drop only defaulted fields, the object form optional ones too.
    if (!f.defaulted && (array_form || !quaro::spec::is_optional(f.kind)))
      return false;
    if (!have)
      continue;
    bool ok;
    if (quaro::spec::is_optional(f.kind))
      ok = std::holds_alternative<std::monostate>(*have);
    else if (f.kind == Kind::Flag)
      ok = std::holds_alternative<bool>(*have) && std::get<bool>(*have) == (f.default_value != 0);
    else
      ok = std::holds_alternative<std::uint64_t>(*have) &&
           std::get<std::uint64_t>(*have) == f.default_value;
    FUZZ_CHECK(ok, "left-out field not at its default", where(*op, k));
  }
  return true;
}

// Whether some object of the document repeats a key (the generic value keeps only the last).
bool repeats_a_key(std::string_view text) {
  std::vector<std::vector<std::string>> open;
  bool repeated = false;
  (void)Value::parse(
      text.begin(), text.end(),
      [&](int, Value::parse_event_t event, Value &parsed) {
        if (event == Value::parse_event_t::object_start) {
          open.emplace_back();
        } else if (event == Value::parse_event_t::object_end) {
          open.pop_back();
        } else if (event == Value::parse_event_t::key && !open.empty()) {
          const std::string &key = parsed.get_ref<const std::string &>();
          auto &seen = open.back();
          repeated = repeated || std::find(seen.begin(), seen.end(), key) != seen.end();
          seen.push_back(key);
        }
        return true;
      },
      false);
  return repeated;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text = fuzz::text(data, size);
  const auto tree = quaro::spec::read_expr(text);
  const auto generic = quaro::json::parse(text);
  if (!tree) {
    // A syntax message, or one of the shape messages of the tree's form.
    const std::string &m = tree.error();
    const bool shape = m.rfind("missing field `", 0) == 0 || m.rfind("duplicate field `", 0) == 0 ||
                       m.rfind("unknown variant `", 0) == 0 || m.rfind("invalid type: ", 0) == 0 ||
                       m.rfind("invalid value: ", 0) == 0 || m.rfind("invalid length ", 0) == 0;
    FUZZ_CHECK(shape || fuzz::known_json_message(m), "unknown error message", m);
  }
  if (!generic) {
    FUZZ_CHECK(!tree, "a tree was read from text that is no JSON document", generic.error());
    return 0;
  }
  // The printer takes any JSON value, well-formed tree or not.
  const std::string printed = quaro::print::format(*generic);
  FUZZ_CHECK(printed == fuzz::print_model(*generic, 0), "printed text differs from the model",
             printed + "\n---\n" + fuzz::print_model(*generic, 0));

  // The reader meets repeated keys in document order; the model sees only the last value.
  if (repeats_a_key(text))
    return 0;
  const bool model = model_node(*generic, true, tree ? &*tree : nullptr);
  FUZZ_CHECK(model == tree.has_value(),
             tree ? "the reader takes a document the model refuses"
                  : "the reader refuses a document the model takes",
             std::string(text.substr(0, 2000)) + "\n" + (tree ? std::string() : tree.error()));
  return 0;
}
