#include "quaro/dsl/parse.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>

namespace quaro::parse {
namespace {

// Integral values below 9.007e15 become JSON integers, everything else a float; a value that is
// not finite has no JSON number and becomes null.
Value number_value(double v) {
  if (!std::isfinite(v)) {
    return nullptr;
  }
  if (std::trunc(v) == v && std::fabs(v) < 9.007e15) {
    return v >= 0 ? Value(static_cast<std::uint64_t>(v)) : Value(static_cast<std::int64_t>(v));
  }
  return v;
}

// Levels of a raw value once promoted: a bare number becomes a one-level Const node.
std::size_t node_levels(std::size_t raw) { return std::max<std::size_t>(raw, 1); }

// JSON values in v, v included; the depth of v is bounded, so recursion is safe.
std::size_t count_values(const Value &v) {
  std::size_t n = 1;
  if (v.is_structured()) {
    for (const Value &child : v) {
      n += count_values(child);
    }
  }
  return n;
}

Keywords::iterator find_keyword(Keywords &keywords, std::string_view name) {
  return std::find_if(keywords.begin(), keywords.end(),
                      [&](const auto &k) { return k.first == name; });
}

Value node(std::string_view tag) {
  Value n = Value::object();
  n["op"] = tag;
  return n;
}

// The infix loop looks each operator's tag up in BINOP_TABLE, and the docs list BINOP_TABLE by
// strength: the two tables must name the same symbols.
constexpr bool same_infix_symbols() {
  for (const InfixStrength &i : INFIX_STRENGTH) {
    bool found = false;
    for (const ops::BinOpSpec &b : ops::BINOP_TABLE) {
      found = found || b.symbol == i.symbol;
    }
    if (!found) {
      return false;
    }
  }
  for (const ops::BinOpSpec &b : ops::BINOP_TABLE) {
    bool found = false;
    for (const InfixStrength &i : INFIX_STRENGTH) {
      found = found || i.symbol == b.symbol;
    }
    if (!found) {
      return false;
    }
  }
  return true;
}
static_assert(same_infix_symbols());

// Strength of an infix operator token, 0 when the token is none.
unsigned strength(const Token &t) {
  if (t.kind != TokenKind::Ident && t.kind != TokenKind::Op) {
    return 0;
  }
  for (const InfixStrength &i : INFIX_STRENGTH) {
    if (i.symbol == t.text) {
      return i.strength;
    }
  }
  return 0;
}

util::Expected<Value, std::string> check_arg(const ops::ParamSpec &p, Value v) {
  using K = ops::ParamKind;
  switch (p.kind) {
  case K::Expr:
  case K::OptExpr:
    return promote(std::move(v));
  case K::ExprList:
    if (!v.is_array()) {
      return util::unexpected(ticked(p.name) + " must be a list `[ ... ]`");
    }
    for (Value &e : v) {
      UTIL_ASSIGN_OR_RETURN(e, promote(std::move(e)));
    }
    return v;
  case K::Number:
  case K::OptNumber:
    if (!v.is_number()) {
      return util::unexpected(ticked(p.name) + " must be a number");
    }
    return v;
  case K::OptBool:
    if (!v.is_boolean()) {
      return util::unexpected(ticked(p.name) + " must be true/false");
    }
    return v;
  case K::Str:
  case K::OptStr:
    if (!v.is_string()) {
      return util::unexpected(ticked(p.name) + " must be a string");
    }
    return v;
  case K::OptStrList:
    if (!v.is_array()) {
      return util::unexpected(ticked(p.name) + " must be a list of strings");
    }
    return v;
  }
  return v;
}

} // namespace

util::Expected<Value, std::string> promote(Value raw) {
  if (raw.is_object()) {
    return raw;
  }
  if (raw.is_number()) {
    Value n = node("Const");
    n["value"] = std::move(raw);
    return n;
  }
  if (raw.is_boolean()) {
    return util::unexpected(std::string("a boolean cannot stand alone as an expression"));
  }
  if (raw.is_string()) {
    return util::unexpected(std::string("a string cannot stand alone as an expression"));
  }
  return util::unexpected("invalid expression: " +
                          raw.dump(-1, ' ', false, Value::error_handler_t::replace));
}

util::Expected<Value, std::string> build(const ops::OpSpec &row, std::vector<Value> positional,
                                         Keywords keywords) {
  Value out = node(row.tag);
  if (positional.size() > row.params.size()) {
    return util::unexpected(ticked(row.tag) + " takes at most " +
                            std::to_string(row.params.size()) + " positional args");
  }
  std::vector<bool> taken(keywords.size(), false);
  for (std::size_t i = 0; i < row.params.size(); ++i) {
    const ops::ParamSpec &p = row.params[i];
    Value v;
    if (i < positional.size()) {
      v = std::move(positional[i]);
    } else {
      auto kw = find_keyword(keywords, p.name);
      if (kw != keywords.end()) {
        taken[static_cast<std::size_t>(kw - keywords.begin())] = true;
        v = std::move(kw->second);
      } else if (ops::required(p.kind)) {
        return util::unexpected(ticked(row.tag) + " requires " + ticked(p.name));
      } else {
        continue;
      }
    }
    UTIL_ASSIGN_OR_RETURN(Value checked, check_arg(p, std::move(v)));
    out[std::string(p.name)] = std::move(checked);
  }
  for (std::size_t k = 0; k < keywords.size(); ++k) {
    if (!taken[k]) {
      return util::unexpected(ticked(row.tag) + " has no field " + ticked(keywords[k].first));
    }
  }
  return out;
}

Parser::Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {
  if (tokens_.empty() || tokens_.back().kind != TokenKind::Eof) {
    tokens_.push_back(Token{});
  }
}

const Token &Parser::peek(std::size_t ahead) const {
  return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)];
}

const Token &Parser::next() {
  const Token &t = tokens_[pos_];
  if (pos_ + 1 < tokens_.size()) {
    ++pos_;
  }
  return t;
}

ParseError Parser::err(std::string message) const {
  return ParseError{std::move(message), peek().line, peek().col};
}

bool Parser::fail(std::string message) {
  error_ = err(std::move(message));
  return false;
}

bool Parser::fail_at(const Token &t, std::string message) {
  error_ = ParseError{std::move(message), t.line, t.col};
  return false;
}

// One level deeper; the limit is reported at the token that opened the level.
bool Parser::enter() {
  if (++depth_ > MAX_DEPTH) {
    return fail_at(tokens_[pos_ == 0 ? 0 : pos_ - 1], "expression nested too deeply");
  }
  return true;
}

void Parser::leave() { --depth_; }

util::Expected<Analysis, ParseError> Parser::program() {
  while (peek().kind == TokenKind::Let) {
    if (!let_binding()) {
      return util::unexpected(std::move(error_));
    }
  }
  Raw strategy;
  if (!expr(0, strategy)) {
    return util::unexpected(std::move(error_));
  }
  if (peek().kind != TokenKind::Eof) {
    return util::unexpected(err("unexpected trailing input"));
  }
  if (!strategy.value.is_object()) {
    return util::unexpected(err("a strategy must be an expression, not a bare constant"));
  }
  Analysis a;
  a.refs = std::move(refs_);
  for (LetBinding &b : lets_) {
    if (!used_.count(b.name)) {
      a.unused.push_back(std::move(b));
    }
  }
  a.expr = std::move(strategy.value);
  return a;
}

bool Parser::let_binding() {
  next(); // let
  const Token &name = next();
  if (name.kind != TokenKind::Ident) {
    return fail_at(name, "expected name after `let`");
  }
  if (next().kind != TokenKind::Eq) {
    return fail("expected `=` in let binding");
  }
  Raw raw;
  if (!expr(0, raw)) {
    return false;
  }
  auto value = promote(std::move(raw.value));
  if (!value) {
    return fail(std::move(value).error());
  }
  if (bindings_.count(name.text)) {
    return fail_at(name, ticked(name.text) + " is already defined");
  }
  Bound b;
  b.value = std::move(*value);
  b.levels = node_levels(raw.levels);
  b.size = count_values(b.value);
  lets_.push_back(LetBinding{name.text, name.line, name.col});
  bindings_.emplace(name.text, std::move(b));
  return true;
}

bool Parser::deeper(const Token &at, std::size_t levels) {
  if (levels > MAX_TREE_DEPTH) {
    return fail_at(at, "expression nested too deeply");
  }
  return true;
}

bool Parser::expr(unsigned min, Raw &out) {
  const Token &first = peek();
  if ((first.kind == TokenKind::Ident && first.text == "not") ||
      (first.kind == TokenKind::Op && first.text == "-")) {
    const bool is_not = first.kind == TokenKind::Ident;
    next();
    Raw operand;
    if (!enter() || !expr(is_not ? NOT_OPERAND_STRENGTH : NEG_OPERAND_STRENGTH, operand)) {
      return false;
    }
    leave();
    auto p = promote(std::move(operand.value));
    if (!p) {
      return fail(std::move(p).error());
    }
    out.levels = node_levels(operand.levels) + 1;
    if (!deeper(first, out.levels)) {
      return false;
    }
    out.value = node(is_not ? "Not" : "Neg");
    out.value["of"] = std::move(*p);
  } else if (first.kind == TokenKind::Op) {
    return fail("unexpected operator " + ticked(first.text));
  } else if (!primary(out)) {
    return false;
  }

  for (;;) {
    const Token &op = peek();
    const unsigned s = strength(op);
    if (s == 0 || s < min) {
      break;
    }
    next();
    Raw right;
    if (!enter() || !expr(s + 1, right)) {
      return false;
    }
    leave();
    auto l = promote(std::move(out.value));
    if (!l) {
      return fail(std::move(l).error());
    }
    auto r = promote(std::move(right.value));
    if (!r) {
      return fail(std::move(r).error());
    }
    // A long chain nests the tree as deep as it is long, without nesting the source.
    out.levels = std::max(node_levels(out.levels), node_levels(right.levels)) + 1;
    if (!deeper(op, out.levels)) {
      return false;
    }
    out.value = node(*ops::binop_tag(op.text));
    out.value["l"] = std::move(*l);
    out.value["r"] = std::move(*r);
  }
  return true;
}

bool Parser::primary(Raw &out) {
  const Token &ahead = peek();
  if (ahead.kind == TokenKind::Ident && ahead.text != "true" && ahead.text != "false" &&
      peek(1).kind == TokenKind::LParen) {
    return call(out);
  }
  const Token &t = next();
  out.levels = 0;
  switch (t.kind) {
  case TokenKind::Num:
    out.value = number_value(t.num);
    return true;
  case TokenKind::Str:
    out.value = t.text;
    return true;
  case TokenKind::LParen:
    if (!enter() || !expr(0, out)) {
      return false;
    }
    leave();
    if (next().kind != TokenKind::RParen) {
      return fail("expected `)`");
    }
    return true;
  case TokenKind::Ident: {
    if (t.text == "true" || t.text == "false") {
      out.value = t.text == "true";
      return true;
    }
    if (auto b = bindings_.find(t.text); b != bindings_.end()) {
      used_.insert(t.text);
      copied_ += b->second.size;
      if (copied_ > MAX_COPIED) {
        return fail_at(t, "expression too large");
      }
      out.value = b->second.value;
      out.levels = b->second.levels;
      return true;
    }
    refs_.push_back(SeriesRef{t.text, t.line, t.col});
    out.value = node("Data");
    out.value["name"] = t.text;
    out.levels = 1;
    return true;
  }
  default:
    return fail_at(t, "unexpected token " + lex::debug(t));
  }
}

bool Parser::call(Raw &out) {
  const Token &name = next();
  const ops::OpSpec *row = ops::find_by_alias(name.text);
  if (!row) {
    return fail_at(name, "unknown op " + ticked(name.text));
  }
  next(); // (
  std::vector<Value> positional;
  Keywords keywords;
  // Where each keyword stands in `keywords`, so that long argument lists stay linear.
  std::unordered_map<std::string_view, std::size_t> keyword_at;
  bool seen_keyword = false;
  std::size_t levels = 0;
  for (;;) {
    const Token &t = peek();
    const bool keyword = t.kind == TokenKind::Ident && peek(1).kind == TokenKind::Eq;
    if (t.kind == TokenKind::RParen) {
      next();
      break;
    }
    if (!keyword && seen_keyword) {
      return fail("positional argument after keyword argument");
    }
    if (keyword) {
      next();
      next();
    }
    Raw v;
    if (!enter() || !arg_value(v)) {
      return false;
    }
    leave();
    levels = std::max(levels, node_levels(v.levels));
    if (!keyword) {
      positional.push_back(std::move(v.value));
    } else if (const auto [at, fresh] = keyword_at.try_emplace(t.text, keywords.size()); fresh) {
      keywords.emplace_back(t.text, std::move(v.value));
    } else {
      keywords[at->second].second = std::move(v.value);
    }
    if (!eat_comma()) {
      return false;
    }
    seen_keyword = seen_keyword || keyword;
  }
  auto built = build(*row, std::move(positional), std::move(keywords));
  if (!built) {
    return fail_at(name, std::move(built).error());
  }
  out.levels = levels + 1;
  if (!deeper(name, out.levels)) {
    return false;
  }
  out.value = std::move(*built);
  return true;
}

bool Parser::arg_value(Raw &out) {
  if (peek().kind != TokenKind::LBracket) {
    return expr(0, out);
  }
  next();
  out.value = Value::array();
  out.levels = 1;
  while (peek().kind != TokenKind::RBracket) {
    Raw element;
    if (!enter() || !expr(0, element)) {
      return false;
    }
    leave();
    out.levels = std::max(out.levels, node_levels(element.levels) + 1);
    out.value.push_back(std::move(element.value));
    if (peek().kind == TokenKind::Comma) {
      next();
    }
  }
  next(); // ]
  return true;
}

bool Parser::eat_comma() {
  const Token &t = peek();
  if (t.kind == TokenKind::RParen) {
    return true;
  }
  if (t.kind == TokenKind::Comma) {
    next();
    return true;
  }
  return fail("expected `,` or `)`");
}

util::Expected<Analysis, ParseError> parse_analyzed(std::string_view src) {
  UTIL_ASSIGN_OR_RETURN(auto tokens, lex::lex(src));
  return Parser(std::move(tokens)).program();
}

util::Expected<Value, ParseError> parse(std::string_view src) {
  UTIL_ASSIGN_OR_RETURN(Analysis a, parse_analyzed(src));
  return std::move(a.expr);
}

} // namespace quaro::parse
