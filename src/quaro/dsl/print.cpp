#include "quaro/dsl/print.hpp"

#include <string_view>
#include <vector>

#include "quaro/dsl/ops.hpp"

namespace quaro::print {
namespace {

const Value NULL_VALUE;

// The field `key` of an object, or null when it is missing.
const Value &child(const Value &v, const char *key) {
  const auto it = v.find(key);
  return it == v.end() ? NULL_VALUE : *it;
}

// Any node other than a constant or a series forces a call over several lines.
bool compound(const Value &v) {
  if (!v.is_object()) {
    return false;
  }
  const auto op = v.find("op");
  return op != v.end() && op->is_string() && *op != "Const" && *op != "Data";
}

std::string call(const ops::OpSpec &row, const Value &v, std::size_t indent) {
  using K = ops::ParamKind;
  std::vector<std::string> args;
  bool keywords = false, multiline = false;
  for (const ops::ParamSpec &p : row.params) {
    const auto it = v.find(std::string(p.name));
    if (it == v.end()) {
      keywords = true;
      continue;
    }
    const Value &arg = *it;
    std::string text;
    switch (p.kind) {
    case K::Expr:
    case K::OptExpr:
      text = format_at(arg, indent + 1);
      multiline = multiline || compound(arg);
      break;
    case K::ExprList:
    case K::OptStrList:
      text = "[";
      if (arg.is_array()) {
        bool first = true;
        for (const Value &e : arg) {
          if (!first) {
            text += ", ";
          }
          first = false;
          if (p.kind == K::ExprList) {
            text += format_at(e, indent + 1);
            multiline = multiline || compound(e);
          } else {
            text += literal(e);
          }
        }
      }
      text += "]";
      break;
    default:
      text = literal(arg);
    }
    if (keywords || !ops::positional(p.kind)) {
      keywords = true;
      text = std::string(p.name) + "=" + text;
    }
    args.push_back(std::move(text));
  }

  std::string out(row.aliases.front());
  out += '(';
  const std::string inner = multiline ? std::string(2 * (indent + 1), ' ') : std::string();
  if (multiline) {
    out += "\n" + inner;
  }
  for (std::size_t k = 0; k < args.size(); ++k) {
    if (k) {
      out += multiline ? ",\n" + inner : ", ";
    }
    out += args[k];
  }
  if (multiline) {
    out += "\n" + std::string(2 * indent, ' ');
  }
  return out + ')';
}

} // namespace

std::string literal(const Value &v) {
  switch (v.type()) {
  case Value::value_t::number_integer:
    return std::to_string(v.get<std::int64_t>());
  case Value::value_t::number_unsigned:
    return std::to_string(v.get<std::uint64_t>());
  case Value::value_t::string:
    return "\"" + v.get_ref<const std::string &>() + "\"";
  default:
    // Invalid UTF-8 in a hand-built value is replaced rather than allowed to throw.
    return v.dump(-1, ' ', false, Value::error_handler_t::replace);
  }
}

std::string format(const Value &v) { return format_at(v, 0); }

std::string format_at(const Value &v, std::size_t indent) {
  if (!v.is_object()) {
    return literal(v);
  }
  const auto op_it = v.find("op");
  if (op_it == v.end() || !op_it->is_string()) {
    return literal(v);
  }
  const std::string &op = op_it->get_ref<const std::string &>();
  if (op == "Neg") {
    return "(-" + format_at(child(v, "of"), indent) + ")";
  }
  if (op == "Not") {
    return "(not " + format_at(child(v, "of"), indent) + ")";
  }
  if (op == "Const") {
    return literal(child(v, "value"));
  }
  if (op == "Data") {
    const Value &name = child(v, "name");
    return name.is_string() ? name.get<std::string>() : "?";
  }
  if (op == "Ceil") {
    return "ceil(" + format_at(child(v, "of"), indent) + ")";
  }
  if (const auto symbol = ops::binop_symbol_for_tag(op)) {
    return "(" + format_at(child(v, "l"), indent) + " " + std::string(*symbol) + " " +
           format_at(child(v, "r"), indent) + ")";
  }
  if (const ops::OpSpec *row = ops::find_by_tag(op)) {
    return call(*row, v, indent);
  }
  return "(/* unprintable op " + op + " */)";
}

} // namespace quaro::print
