// Parse, print, parse again: the printed text of a parsed tree is the one its layout rules give,
// reads back as the same tree, and printing is stable.
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "print_model.hpp"
#include "quaro/dsl/ops.hpp"
#include "quaro/dsl/parse.hpp"
#include "quaro/dsl/print.hpp"

namespace {

// The printer writes text-list elements as literals, so an element that is not a string, number
// or boolean (a series, another expression, the null of an overflowing number) cannot read back.
bool text_list_holds_expression(const quaro::Value &v) {
  if (v.is_array()) {
    for (const quaro::Value &e : v)
      if (text_list_holds_expression(e))
        return true;
    return false;
  }
  if (!v.is_object())
    return false;
  const auto op = v.find("op");
  if (op != v.end() && op->is_string())
    if (const quaro::ops::OpSpec *row = quaro::ops::find_by_tag(op->get<std::string>()))
      for (const quaro::ops::ParamSpec &p : row->params) {
        if (p.kind != quaro::ops::ParamKind::OptStrList)
          continue;
        const auto list = v.find(std::string(p.name));
        if (list == v.end() || !list->is_array())
          continue;
        for (const quaro::Value &e : *list)
          if (!e.is_string() && !e.is_number() && !e.is_boolean())
            return true;
      }
  for (const quaro::Value &child : v)
    if (text_list_holds_expression(child))
      return true;
  return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const auto tree = quaro::parse::parse(fuzz::text(data, size));
  if (!tree)
    return 0;
  const std::string printed = quaro::print::format(*tree);
  FUZZ_CHECK(printed == fuzz::print_model(*tree, 0), "printed text differs from the model",
             printed + "\n---\n" + fuzz::print_model(*tree, 0));
  // A strategy that is only a bound number (let a = 5 then a) prints as a bare number, which
  // the parser refuses as a strategy.
  if (text_list_holds_expression(*tree) || tree->value("op", std::string()) == "Const")
    return 0;
  const auto again = quaro::parse::parse(printed);
  FUZZ_CHECK(again.has_value(), "printed tree does not parse",
             printed + "\n" + (again ? std::string() : again.error().to_string()));
  FUZZ_CHECK(fuzz::strict_equal(*tree, *again), "printed tree parses to another tree",
             printed + "\n" + fuzz::show(*tree) + "\n" + fuzz::show(*again));
  FUZZ_CHECK(quaro::print::format(*again) == printed, "printing is not stable", printed);
  return 0;
}
