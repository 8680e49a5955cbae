#include "quaro/dsl/parse.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace quaro::parse {
namespace {

std::string ticked(std::string_view s) { return "`" + std::string(s) + "`"; }

// Integral values below 9.007e15 become JSON integers, everything else a float; a value that is
// not finite has no JSON number and becomes null.
Value number_value(double v) {
  if (!std::isfinite(v))
    return nullptr;
  if (std::trunc(v) == v && std::fabs(v) < 9.007e15)
    return v >= 0 ? Value(static_cast<std::uint64_t>(v)) : Value(static_cast<std::int64_t>(v));
  return v;
}

void measure(const Value &v, std::size_t &levels, std::size_t &size) {
  ++size;
  if (!v.is_structured()) {
    levels = 0;
    return;
  }
  std::size_t deepest = 0;
  for (const Value &child : v) {
    std::size_t l = 0;
    measure(child, l, size);
    deepest = std::max(deepest, l);
  }
  levels = deepest + 1;
}

Value node(std::string_view tag) {
  Value n = Value::object();
  n["op"] = tag;
  return n;
}

// Strength of an infix operator token, 0 when the token is none.
unsigned strength(const Token &t) {
  if (t.kind == TokenKind::Ident)
    return t.text == "or" ? 2 : t.text == "and" ? 4 : 0;
  if (t.kind != TokenKind::Op)
    return 0;
  if (t.text == "<" || t.text == ">" || t.text == "<=" || t.text == ">=")
    return 6;
  if (t.text == "+" || t.text == "-")
    return 8;
  return 10; // * and /
}

util::Expected<Value, std::string> check_arg(const ops::ParamSpec &p, Value v) {
  using K = ops::ParamKind;
  switch (p.kind) {
  case K::Expr:
  case K::OptExpr:
    return promote(std::move(v));
  case K::ExprList:
    if (!v.is_array())
      return util::unexpected(ticked(p.name) + " must be a list `[ ... ]`");
    for (Value &e : v) {
      auto r = promote(std::move(e));
      if (!r)
        return util::unexpected(std::move(r).error());
      e = std::move(*r);
    }
    return v;
  case K::Number:
  case K::OptNumber:
    if (!v.is_number())
      return util::unexpected(ticked(p.name) + " must be a number");
    return v;
  case K::OptBool:
    if (!v.is_boolean())
      return util::unexpected(ticked(p.name) + " must be true/false");
    return v;
  case K::Str:
  case K::OptStr:
    if (!v.is_string())
      return util::unexpected(ticked(p.name) + " must be a string");
    return v;
  case K::OptStrList:
    if (!v.is_array())
      return util::unexpected(ticked(p.name) + " must be a list of strings");
    return v;
  }
  return v;
}

} // namespace

util::Expected<Value, std::string> promote(Value raw) {
  if (raw.is_object())
    return raw;
  if (raw.is_number()) {
    Value n = node("Const");
    n["value"] = std::move(raw);
    return n;
  }
  if (raw.is_boolean())
    return util::unexpected(std::string("a boolean cannot stand alone as an expression"));
  if (raw.is_string())
    return util::unexpected(std::string("a string cannot stand alone as an expression"));
  return util::unexpected("invalid expression: " +
                          raw.dump(-1, ' ', false, Value::error_handler_t::replace));
}

util::Expected<Value, std::string> build(const ops::OpSpec &row, std::vector<Value> positional,
                                         Keywords keywords) {
  Value out = node(row.tag);
  if (positional.size() > row.params.size())
    return util::unexpected(ticked(row.tag) + " takes at most " +
                            std::to_string(row.params.size()) + " positional args");
  std::vector<bool> taken(keywords.size(), false);
  for (std::size_t i = 0; i < row.params.size(); ++i) {
    const ops::ParamSpec &p = row.params[i];
    Value v;
    if (i < positional.size()) {
      v = std::move(positional[i]);
    } else {
      auto kw = std::find_if(keywords.begin(), keywords.end(),
                             [&](const auto &k) { return k.first == p.name; });
      if (kw != keywords.end()) {
        taken[static_cast<std::size_t>(kw - keywords.begin())] = true;
        v = std::move(kw->second);
      } else if (ops::required(p.kind)) {
        return util::unexpected(ticked(row.tag) + " requires " + ticked(p.name));
      } else {
        continue;
      }
    }
    auto checked = check_arg(p, std::move(v));
    if (!checked)
      return util::unexpected(std::move(checked).error());
    out[std::string(p.name)] = std::move(*checked);
  }
  for (std::size_t k = 0; k < keywords.size(); ++k)
    if (!taken[k])
      return util::unexpected(ticked(row.tag) + " has no field " + ticked(keywords[k].first));
  return out;
}

Parser::Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {
  if (tokens_.empty() || tokens_.back().kind != TokenKind::Eof)
    tokens_.push_back(Token{});
}

const Token &Parser::peek(std::size_t ahead) const {
  return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)];
}

const Token &Parser::next() {
  const Token &t = tokens_[pos_];
  if (pos_ + 1 < tokens_.size())
    ++pos_;
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
  if (++depth_ > MAX_DEPTH)
    return fail_at(tokens_[pos_ == 0 ? 0 : pos_ - 1], "expression nested too deeply");
  return true;
}

util::Expected<Analysis, ParseError> Parser::program() {
  while (peek().kind == TokenKind::Let)
    if (!let_binding())
      return util::unexpected(std::move(error_));
  Value strategy;
  if (!expr(0, strategy))
    return util::unexpected(std::move(error_));
  if (peek().kind != TokenKind::Eof)
    return util::unexpected(err("unexpected trailing input"));
  if (!strategy.is_object())
    return util::unexpected(err("a strategy must be an expression, not a bare constant"));
  Analysis a;
  a.refs = std::move(refs_);
  for (LetBinding &b : lets_)
    if (!used_.count(b.name))
      a.unused.push_back(std::move(b));
  a.expr = std::move(strategy);
  return a;
}

bool Parser::let_binding() {
  next(); // let
  const Token &name = next();
  if (name.kind != TokenKind::Ident)
    return fail_at(name, "expected name after `let`");
  if (next().kind != TokenKind::Eq)
    return fail("expected `=` in let binding");
  Value raw;
  depth_ = 0;
  if (!expr(0, raw))
    return false;
  auto value = promote(std::move(raw));
  if (!value)
    return fail(std::move(value).error());
  if (bindings_.count(name.text))
    return fail_at(name, ticked(name.text) + " is already defined");
  Bound b;
  b.value = std::move(*value);
  measure(b.value, b.levels, b.size);
  lets_.push_back(LetBinding{name.text, name.line, name.col});
  bindings_.emplace(name.text, std::move(b));
  return true;
}

bool Parser::expr(unsigned min, Value &out) {
  const std::size_t base = depth_;
  const Token &first = peek();
  if ((first.kind == TokenKind::Ident && first.text == "not") ||
      (first.kind == TokenKind::Op && first.text == "-")) {
    const bool is_not = first.kind == TokenKind::Ident;
    next();
    Value operand;
    if (!enter() || !expr(is_not ? 5 : 7, operand))
      return false;
    depth_ = base;
    auto p = promote(std::move(operand));
    if (!p)
      return fail(std::move(p).error());
    out = node(is_not ? "Not" : "Neg");
    out["of"] = std::move(*p);
  } else if (first.kind == TokenKind::Op) {
    return fail("unexpected operator " + ticked(first.text));
  } else if (!primary(out)) {
    return false;
  }

  for (;;) {
    const Token &op = peek();
    const unsigned s = strength(op);
    if (s == 0 || s < min)
      break;
    const std::string symbol = op.text;
    next();
    // A chain of operators nests the tree as deep as it is long.
    Value right;
    if (!enter() || !expr(s + 1, right))
      return false;
    auto l = promote(std::move(out));
    if (!l)
      return fail(std::move(l).error());
    auto r = promote(std::move(right));
    if (!r)
      return fail(std::move(r).error());
    out = node(*ops::binop_tag(symbol));
    out["l"] = std::move(*l);
    out["r"] = std::move(*r);
  }
  depth_ = base;
  return true;
}

bool Parser::primary(Value &out) {
  const Token &ahead = peek();
  if (ahead.kind == TokenKind::Ident && ahead.text != "true" && ahead.text != "false" &&
      peek(1).kind == TokenKind::LParen)
    return call(out);
  const Token &t = next();
  switch (t.kind) {
  case TokenKind::Num:
    out = number_value(t.num);
    return true;
  case TokenKind::Str:
    out = t.text;
    return true;
  case TokenKind::LParen: {
    if (!enter() || !expr(0, out))
      return false;
    --depth_;
    if (next().kind != TokenKind::RParen)
      return fail("expected `)`");
    return true;
  }
  case TokenKind::Ident: {
    if (t.text == "true" || t.text == "false") {
      out = t.text == "true";
      return true;
    }
    if (auto b = bindings_.find(t.text); b != bindings_.end()) {
      used_.insert(t.text);
      if (depth_ + b->second.levels > MAX_DEPTH + 1)
        return fail_at(t, "expression nested too deeply");
      copied_ += b->second.size;
      if (copied_ > MAX_COPIED)
        return fail_at(t, "expression too large");
      out = b->second.value;
      return true;
    }
    refs_.push_back(SeriesRef{t.text, t.line, t.col});
    out = node("Data");
    out["name"] = t.text;
    return true;
  }
  default:
    return fail_at(t, "unexpected token " + lex::debug(t));
  }
}

bool Parser::call(Value &out) {
  const Token &name = next();
  const ops::OpSpec *row = ops::find_by_alias(name.text);
  if (!row)
    return fail_at(name, "unknown op " + ticked(name.text));
  next(); // (
  std::vector<Value> positional;
  Keywords keywords;
  bool seen_keyword = false;
  for (;;) {
    const Token &t = peek();
    if (t.kind == TokenKind::Ident && peek(1).kind == TokenKind::Eq) {
      std::string key = t.text;
      next();
      next();
      Value v;
      if (!enter() || !arg_value(v))
        return false;
      --depth_;
      auto same = std::find_if(keywords.begin(), keywords.end(),
                               [&](const auto &k) { return k.first == key; });
      if (same != keywords.end())
        same->second = std::move(v);
      else
        keywords.emplace_back(std::move(key), std::move(v));
      if (!eat_comma())
        return false;
      seen_keyword = true;
    } else if (t.kind == TokenKind::RParen) {
      next();
      break;
    } else {
      if (seen_keyword)
        return fail("positional argument after keyword argument");
      Value v;
      if (!enter() || !arg_value(v))
        return false;
      --depth_;
      positional.push_back(std::move(v));
      if (!eat_comma())
        return false;
    }
  }
  auto built = build(*row, std::move(positional), std::move(keywords));
  if (!built)
    return fail_at(name, std::move(built).error());
  out = std::move(*built);
  return true;
}

bool Parser::arg_value(Value &out) {
  if (peek().kind != TokenKind::LBracket)
    return expr(0, out);
  next();
  out = Value::array();
  while (peek().kind != TokenKind::RBracket) {
    Value element;
    if (!enter() || !expr(0, element))
      return false;
    --depth_;
    out.push_back(std::move(element));
    if (peek().kind == TokenKind::Comma)
      next();
  }
  next(); // ]
  return true;
}

bool Parser::eat_comma() {
  const Token &t = peek();
  if (t.kind == TokenKind::RParen)
    return true;
  if (t.kind == TokenKind::Comma) {
    next();
    return true;
  }
  return fail("expected `,` or `)`");
}

util::Expected<Analysis, ParseError> parse_analyzed(std::string_view src) {
  auto tokens = lex::lex(src);
  if (!tokens)
    return util::unexpected(std::move(tokens).error());
  return Parser(std::move(*tokens)).program();
}

util::Expected<Value, ParseError> parse(std::string_view src) {
  auto a = parse_analyzed(src);
  if (!a)
    return util::unexpected(std::move(a).error());
  return std::move(a->expr);
}

} // namespace quaro::parse
