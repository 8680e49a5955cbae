#include "quaro/spec.hpp"

#include <cstdio>

#include "quaro/json.hpp"
#include "quaro/json_reader.hpp"

namespace quaro::spec {

namespace {

using K = Kind;

constexpr Field kName[] = {{"name", K::Text}};
constexpr Field kValue[] = {{"value", K::Number}};
constexpr Field kOf[] = {{"of", K::Expr}};
constexpr Field kOfN[] = {{"of", K::Expr}, {"n", K::Count}};
constexpr Field kLR[] = {{"l", K::Expr}, {"r", K::Expr}};
constexpr Field kHlcN[] = {
    {"high", K::Expr}, {"low", K::Expr}, {"close", K::Expr}, {"n", K::Count}};
constexpr Field kStochD[] = {{"high", K::Expr},
                             {"low", K::Expr},
                             {"close", K::Expr},
                             {"n", K::Count},
                             {"d", K::Count, true, 3}};
constexpr Field kHighN[] = {{"high", K::Expr}, {"n", K::Count}};
constexpr Field kLowN[] = {{"low", K::Expr}, {"n", K::Count}};
constexpr Field kObv[] = {{"close", K::Expr}, {"volume", K::Expr}};
constexpr Field kHlcvN[] = {
    {"high", K::Expr}, {"low", K::Expr}, {"close", K::Expr}, {"volume", K::Expr}, {"n", K::Count}};
constexpr Field kSustain[] = {
    {"of", K::Expr}, {"nwindow", K::Count}, {"nsatisfy", K::OptCount, true}};
constexpr Field kRank[] = {
    {"of", K::Expr}, {"pct", K::Flag, true, 1}, {"ascending", K::Flag, true, 1}};
constexpr Field kMask[] = {{"of", K::Expr}, {"by", K::Expr}};
// `nstocks_limit` and `rank` are not defaulted: the array form must carry them (null allowed).
constexpr Field kHoldUntil[] = {{"entry", K::Expr},
                                {"exit", K::Expr},
                                {"nstocks_limit", K::OptCount},
                                {"rank", K::OptExpr},
                                {"stop_loss", K::OptNumber, true},
                                {"take_profit", K::OptNumber, true},
                                {"trail_stop", K::OptNumber, true},
                                {"trail_stop_activation", K::OptNumber, true}};
constexpr Field kRebalance[] = {
    {"of", K::Expr}, {"freq", K::OptText, true}, {"on", K::OptExpr, true}};
constexpr Field kNeutralize[] = {
    {"of", K::Expr}, {"by", K::ExprList}, {"add_const", K::Flag, true, 1}};
constexpr Field kNeutralizeIndustry[] = {{"of", K::Expr}, {"add_const", K::Flag, true, 1}};
constexpr Field kIndustryRank[] = {{"of", K::Expr}, {"categories", K::OptTextList, true}};
constexpr Field kGroupby[] = {{"of", K::Expr}, {"agg", K::Text}};

constexpr std::array<OpDef, kOpCount> kOps = {{
    {"Data", kName},
    {"Const", kValue},
    {"Average", kOfN},
    {"Ema", kOfN},
    {"Std", kOfN},
    {"Rsi", kOfN},
    {"PctChange", kOfN},
    {"Rise", kOfN},
    {"Shift", kOfN},
    {"RollingMax", kOfN},
    {"Atr", kHlcN},
    {"Natr", kHlcN},
    {"WillR", kHlcN},
    {"Cci", kHlcN},
    {"StochK", kHlcN},
    {"StochD", kStochD},
    {"AroonUp", kHighN},
    {"AroonDown", kLowN},
    {"Adx", kHlcN},
    {"PlusDi", kHlcN},
    {"MinusDi", kHlcN},
    {"Obv", kObv},
    {"Mfi", kHlcvN},
    {"Vwap", kHlcvN},
    {"Fall", kOfN},
    {"IsLargest", kOfN},
    {"IsSmallest", kOfN},
    {"Sustain", kSustain},
    {"IsEntry", kOf},
    {"IsExit", kOf},
    {"Gt", kLR},
    {"Lt", kLR},
    {"Ge", kLR},
    {"Le", kLR},
    {"And", kLR},
    {"Or", kLR},
    {"Not", kOf},
    {"Add", kLR},
    {"Sub", kLR},
    {"Mul", kLR},
    {"Div", kLR},
    {"Neg", kOf},
    {"Ceil", kOf},
    {"Rank", kRank},
    {"Mask", kMask},
    {"NormalizeRow", kOf},
    {"HoldUntil", kHoldUntil},
    {"Rebalance", kRebalance},
    {"Neutralize", kNeutralize},
    {"NeutralizeIndustry", kNeutralizeIndustry},
    {"IndustryRank", kIndustryRank},
    {"GroupbyCategory", kGroupby},
}};

static_assert(static_cast<std::size_t>(Op::GroupbyCategory) + 1 == kOpCount);

// A JSON value kept between the two reading phases: objects keep their members in document
// order, repeated keys included.
struct Content {
  enum class Type : std::uint8_t { Null, Bool, Unsigned, Signed, Float, String, Array, Object };
  Type type = Type::Null;
  union {
    bool b;
    std::uint64_t u = 0;
    std::int64_t i;
    double d;
  };
  std::string s;
  std::vector<Content> items;    // array elements, or object member values
  std::vector<std::string> keys; // object member keys, parallel to items
};

} // namespace
} // namespace quaro::spec

namespace quaro::json {

template <> struct Builder<spec::Content> {
  using C = spec::Content;
  static C null() { return {}; }
  static C boolean(bool b) {
    C c;
    c.type = C::Type::Bool;
    c.b = b;
    return c;
  }
  static C number(const Number &n) {
    C c;
    switch (n.kind) {
    case Number::Kind::Unsigned:
      c.type = C::Type::Unsigned;
      c.u = n.u;
      break;
    case Number::Kind::Signed:
      c.type = C::Type::Signed;
      c.i = n.i;
      break;
    case Number::Kind::Float:
      c.type = C::Type::Float;
      c.d = n.d;
      break;
    }
    return c;
  }
  static C string(std::string_view s) {
    C c;
    c.type = C::Type::String;
    c.s = s;
    return c;
  }
  static C array() {
    C c;
    c.type = C::Type::Array;
    return c;
  }
  static void push(C &a, C &&v) { a.items.push_back(std::move(v)); }
  static C object() {
    C c;
    c.type = C::Type::Object;
    return c;
  }
  static void insert(C &o, std::string &&key, C &&v) {
    o.keys.push_back(std::move(key));
    o.items.push_back(std::move(v));
  }
};

} // namespace quaro::json

namespace quaro::spec {

namespace {

using json::Number;
using json::Reader;

constexpr std::string_view kEnumExpected = "internally tagged enum Expr";
constexpr std::string_view kVariantExpected = "variant identifier";

// A string as the messages quote it: in double quotes, with quotes, backslashes and control
// characters escaped.
std::string quote(std::string_view s) {
  std::string out = "\"";
  for (std::size_t k = 0; k < s.size(); ++k) {
    auto c = static_cast<unsigned char>(s[k]);
    unsigned code = c;
    switch (c) {
    case '"':
      out += "\\\"";
      continue;
    case '\\':
      out += "\\\\";
      continue;
    case '\0':
      out += "\\0";
      continue;
    case '\t':
      out += "\\t";
      continue;
    case '\n':
      out += "\\n";
      continue;
    case '\r':
      out += "\\r";
      continue;
    default:
      break;
    }
    // C1 controls arrive as the two bytes C2 80 .. C2 9F.
    bool c1 = c == 0xC2 && k + 1 < s.size() && static_cast<unsigned char>(s[k + 1]) <= 0x9F &&
              static_cast<unsigned char>(s[k + 1]) >= 0x80;
    if (c1) {
      code = static_cast<unsigned char>(s[++k]);
    }
    if (c < 0x20 || c == 0x7F || c1) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", code);
      out += buf;
      continue;
    }
    out += static_cast<char>(c);
  }
  out += '"';
  return out;
}

std::string describe(const Content &c) {
  switch (c.type) {
  case Content::Type::Null:
    return "null";
  case Content::Type::Bool:
    return c.b ? "boolean `true`" : "boolean `false`";
  case Content::Type::Unsigned:
    return "integer `" + std::to_string(c.u) + "`";
  case Content::Type::Signed:
    return "integer `" + std::to_string(c.i) + "`";
  case Content::Type::Float:
    return "floating point `" + Value(c.d).dump() + "`";
  case Content::Type::String:
    return "string " + quote(c.s);
  case Content::Type::Array:
    return "sequence";
  case Content::Type::Object:
    break;
  }
  return "map";
}

std::string invalid_type(const std::string &found, std::string_view expected) {
  return "invalid type: " + found + ", expected " + std::string(expected);
}

std::string unknown_variant(std::string_view name) {
  static const std::string expected = [] {
    std::string s = "one of ";
    for (std::size_t k = 0; k < kOpCount; ++k) {
      if (k) {
        s += ", ";
      }
      s += "`";
      s += kOps[k].name;
      s += "`";
    }
    return s;
  }();
  return "unknown variant `" + std::string(name) + "`, expected " + expected;
}

std::string plural(std::size_t n, std::string_view what) {
  return std::to_string(n) + " " + std::string(what) + (n == 1 ? "" : "s");
}

std::string missing_field(std::string_view name) {
  return "missing field `" + std::string(name) + "`";
}

std::string duplicate_field(std::string_view name) {
  return "duplicate field `" + std::string(name) + "`";
}

// ---- Phase 1: the top-level node, read from the text ----

// The operator of the top-level node: a string naming one of the operators.
bool read_top_op(Reader &r, Op &op) {
  int c = r.peek_ws();
  if (c < 0) {
    return r.fail_peek(json::kEofValue);
  }
  std::string found;
  switch (c) {
  case '"': {
    r.eat();
    std::string_view s;
    if (!r.string(s)) {
      return false;
    }
    if (auto o = op_from_name(s)) {
      op = *o;
      return true;
    }
    r.fail_unplaced(unknown_variant(s));
    r.place();
    return false;
  }
  case '[':
    found = "sequence";
    break;
  case '{':
    found = "map";
    break;
  case 'n':
  case 't':
  case 'f': {
    Content v;
    if (!r.value(v)) {
      return false;
    }
    found = describe(v);
    break;
  }
  default: {
    if (c != '-' && (c < '0' || c > '9')) {
      return r.fail_peek(json::kExpectedValue);
    }
    if (c == '-') {
      r.eat();
    }
    Number n;
    if (!r.number(c != '-', n)) {
      return false;
    }
    found = describe(json::Builder<Content>::number(n));
  }
  }
  r.fail_unplaced(invalid_type(found, kVariantExpected));
  r.place();
  return false;
}

// Object form: "op" read as the operator when met, other members kept in document order.
bool read_top_object(Reader &r, Op &op, Content &rest) {
  rest.type = Content::Type::Object;
  bool first = true, more = false, have_op = false;
  for (;;) {
    if (!r.next_key(first, more)) {
      return false;
    }
    if (!more) {
      break;
    }
    r.eat();
    std::string_view key;
    if (!r.string(key)) {
      return false;
    }
    if (key == "op") {
      if (have_op) {
        return r.fail_unplaced(duplicate_field("op"));
      }
      if (!r.colon() || !read_top_op(r, op)) {
        return false;
      }
      have_op = true;
      continue;
    }
    rest.keys.emplace_back(key);
    rest.items.emplace_back();
    if (!r.colon() || !r.value(rest.items.back())) {
      return false;
    }
  }
  return have_op || r.fail_unplaced(missing_field("op"));
}

// Array form: the operator, then the field values kept in order.
bool read_top_array(Reader &r, Op &op, Content &rest) {
  rest.type = Content::Type::Array;
  bool first = true, more = false;
  if (!r.next_element(first, more)) {
    return false;
  }
  if (!more) {
    return r.fail_unplaced(missing_field("op"));
  }
  if (!read_top_op(r, op)) {
    return false;
  }
  for (;;) {
    if (!r.next_element(first, more)) {
      return false;
    }
    if (!more) {
      return true;
    }
    rest.items.emplace_back();
    if (!r.value(rest.items.back())) {
      return false;
    }
  }
}

// The top-level node's operator and its kept members (object) or elements after the operator
// (array). A shape error found inside a container is placed after the reader has looked for
// the closing bracket, as the syntax of the container would have it.
bool read_top(Reader &r, Op &op, Content &rest) {
  int c = r.peek_ws();
  if (c == '{' || c == '[') {
    if (!r.enter()) {
      return false;
    }
    r.eat();
    bool ok = c == '{' ? read_top_object(r, op, rest) : read_top_array(r, op, rest);
    int close = r.peek_ws();
    if (ok || close == (c == '{' ? '}' : ']')) {
      r.eat();
    } else if (c == '[' && close == ',') {
      r.eat();
      r.peek_ws();
    }
    r.leave();
    if (!ok) {
      r.place();
    }
    return ok;
  }
  Content v;
  if (!r.value(v)) {
    return false;
  }
  r.fail_unplaced(invalid_type(describe(v), kEnumExpected));
  r.place();
  return false;
}

// ---- Phase 2: building nodes from kept values ----

bool build_node(Content &&c, Expr &out, std::string &err);

bool convert(Content &&v, Kind kind, FieldValue &out, std::string &err) {
  if (is_optional(kind) && v.type == Content::Type::Null) {
    out.emplace<std::monostate>();
    return true;
  }
  switch (kind) {
  case Kind::Expr:
  case Kind::OptExpr: {
    auto child = std::make_unique<Expr>();
    if (!build_node(std::move(v), *child, err)) {
      return false;
    }
    out.emplace<std::unique_ptr<Expr>>(std::move(child));
    return true;
  }
  case Kind::ExprList: {
    if (v.type != Content::Type::Array) {
      err = invalid_type(describe(v), "a sequence");
      return false;
    }
    std::vector<Expr> list(v.items.size());
    for (std::size_t k = 0; k < list.size(); ++k) {
      if (!build_node(std::move(v.items[k]), list[k], err)) {
        return false;
      }
    }
    out.emplace<std::vector<Expr>>(std::move(list));
    return true;
  }
  case Kind::Count:
  case Kind::OptCount:
    if (v.type == Content::Type::Unsigned) {
      out.emplace<std::uint64_t>(v.u);
      return true;
    }
    err = v.type == Content::Type::Signed ? "invalid value: " + describe(v) + ", expected usize"
                                          : invalid_type(describe(v), "usize");
    return false;
  case Kind::Number:
  case Kind::OptNumber:
    switch (v.type) {
    case Content::Type::Unsigned:
      out.emplace<double>(static_cast<double>(v.u));
      return true;
    case Content::Type::Signed:
      out.emplace<double>(static_cast<double>(v.i));
      return true;
    case Content::Type::Float:
      out.emplace<double>(v.d);
      return true;
    default:
      err = invalid_type(describe(v), "f64");
      return false;
    }
  case Kind::Flag:
    if (v.type != Content::Type::Bool) {
      err = invalid_type(describe(v), "a boolean");
      return false;
    }
    out.emplace<bool>(v.b);
    return true;
  case Kind::Text:
  case Kind::OptText:
    if (v.type != Content::Type::String) {
      err = invalid_type(describe(v), "a string");
      return false;
    }
    out.emplace<std::string>(std::move(v.s));
    return true;
  case Kind::OptTextList: {
    if (v.type != Content::Type::Array) {
      err = invalid_type(describe(v), "a sequence");
      return false;
    }
    std::vector<std::string> list;
    list.reserve(v.items.size());
    for (auto &item : v.items) {
      if (item.type != Content::Type::String) {
        err = invalid_type(describe(item), "a string");
        return false;
      }
      list.push_back(std::move(item.s));
    }
    out.emplace<std::vector<std::string>>(std::move(list));
    return true;
  }
  }
  return false;
}

void fill_default(const Field &f, FieldValue &out) {
  if (is_optional(f.kind)) {
    out.emplace<std::monostate>();
  } else if (f.kind == Kind::Flag) {
    out.emplace<bool>(f.default_value != 0);
  } else {
    out.emplace<std::uint64_t>(f.default_value);
  }
}

// The node of operator `op` from its members (object form; an "op" member is not a field and
// is passed over) or from its array elements from `first` on (array form).
bool build_fields(Op op, Content &&rest, std::size_t first, Expr &out, std::string &err) {
  const OpDef &def = op_def(op);
  const std::size_t n = def.fields.size();
  out.op = op;
  out.fields.clear();
  out.fields.resize(n);
  if (rest.type == Content::Type::Object) {
    std::uint32_t set = 0;
    for (std::size_t m = 0; m < rest.items.size(); ++m) {
      auto k = field_index(op, rest.keys[m]);
      if (!k) {
        continue;
      }
      if (set & (1u << *k)) {
        err = duplicate_field(def.fields[*k].name);
        return false;
      }
      if (!convert(std::move(rest.items[m]), def.fields[*k].kind, out.fields[*k], err)) {
        return false;
      }
      set |= 1u << *k;
    }
    for (std::size_t k = 0; k < n; ++k) {
      if (set & (1u << k)) {
        continue;
      }
      const Field &f = def.fields[k];
      if (!f.defaulted && !is_optional(f.kind)) {
        err = missing_field(f.name);
        return false;
      }
      fill_default(f, out.fields[k]);
    }
    return true;
  }
  const std::size_t given = rest.items.size() - first;
  for (std::size_t k = 0; k < n; ++k) {
    const Field &f = def.fields[k];
    if (k < given) {
      if (!convert(std::move(rest.items[first + k]), f.kind, out.fields[k], err)) {
        return false;
      }
    } else if (f.defaulted) {
      fill_default(f, out.fields[k]);
    } else {
      err = "invalid length " + std::to_string(k) +
            ", expected struct variant Expr::" + std::string(def.name) + " with " +
            plural(n, "element");
      return false;
    }
  }
  if (given > n) {
    err = "invalid length " + std::to_string(given) + ", expected " + plural(n, "element") +
          " in sequence";
    return false;
  }
  return true;
}

// The operator of a nested node: a name, or an operator index.
bool nested_op(const Content &c, Op &op, std::string &err) {
  if (c.type == Content::Type::String) {
    if (auto o = op_from_name(c.s)) {
      op = *o;
      return true;
    }
    err = unknown_variant(c.s);
    return false;
  }
  if (c.type == Content::Type::Unsigned) {
    if (c.u < kOpCount) {
      op = static_cast<Op>(c.u);
      return true;
    }
    err = "invalid value: " + describe(c) + ", expected variant index 0 <= i < 52";
    return false;
  }
  err = invalid_type(describe(c), kVariantExpected);
  return false;
}

bool build_node(Content &&c, Expr &out, std::string &err) {
  Op op{};
  if (c.type == Content::Type::Object) {
    bool have_op = false;
    for (std::size_t m = 0; m < c.items.size(); ++m) {
      if (c.keys[m] != "op") {
        continue;
      }
      if (have_op) {
        err = duplicate_field("op");
        return false;
      }
      if (!nested_op(c.items[m], op, err)) {
        return false;
      }
      have_op = true;
    }
    if (!have_op) {
      err = missing_field("op");
      return false;
    }
    return build_fields(op, std::move(c), 0, out, err);
  }
  if (c.type == Content::Type::Array) {
    if (c.items.empty()) {
      err = missing_field("op");
      return false;
    }
    if (!nested_op(c.items.front(), op, err)) {
      return false;
    }
    return build_fields(op, std::move(c), 1, out, err);
  }
  err = invalid_type(describe(c), kEnumExpected);
  return false;
}

} // namespace

const std::array<OpDef, kOpCount> &op_table() { return kOps; }

const OpDef &op_def(Op op) { return kOps[static_cast<std::size_t>(op)]; }

std::string_view op_name(Op op) { return op_def(op).name; }

std::optional<Op> op_from_name(std::string_view name) {
  for (std::size_t k = 0; k < kOpCount; ++k) {
    if (kOps[k].name == name) {
      return static_cast<Op>(k);
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> field_index(Op op, std::string_view name) {
  const auto &fields = op_def(op).fields;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (fields[k].name == name) {
      return k;
    }
  }
  return std::nullopt;
}

const Expr &Expr::expr(std::size_t i) const { return *std::get<std::unique_ptr<Expr>>(fields[i]); }

const Expr *Expr::opt_expr(std::size_t i) const {
  auto *p = std::get_if<std::unique_ptr<Expr>>(&fields[i]);
  return p ? p->get() : nullptr;
}

const std::vector<Expr> &Expr::exprs(std::size_t i) const {
  return std::get<std::vector<Expr>>(fields[i]);
}

std::uint64_t Expr::count(std::size_t i) const { return std::get<std::uint64_t>(fields[i]); }

std::optional<std::uint64_t> Expr::opt_count(std::size_t i) const {
  auto *p = std::get_if<std::uint64_t>(&fields[i]);
  return p ? std::optional(*p) : std::nullopt;
}

double Expr::number(std::size_t i) const { return std::get<double>(fields[i]); }

std::optional<double> Expr::opt_number(std::size_t i) const {
  auto *p = std::get_if<double>(&fields[i]);
  return p ? std::optional(*p) : std::nullopt;
}

bool Expr::flag(std::size_t i) const { return std::get<bool>(fields[i]); }

const std::string &Expr::text(std::size_t i) const { return std::get<std::string>(fields[i]); }

const std::string *Expr::opt_text(std::size_t i) const {
  return std::get_if<std::string>(&fields[i]);
}

const std::vector<std::string> *Expr::opt_texts(std::size_t i) const {
  return std::get_if<std::vector<std::string>>(&fields[i]);
}

util::Expected<Expr, std::string> read_expr(std::string_view text) {
  Reader r(text);
  Op op{};
  Content rest;
  if (!read_top(r, op, rest)) {
    return util::unexpected(r.message());
  }
  Expr node;
  std::string err;
  if (!build_fields(op, std::move(rest), 0, node, err)) {
    return util::unexpected(std::move(err));
  }
  if (!r.finish()) {
    return util::unexpected(r.message());
  }
  return node;
}

} // namespace quaro::spec
