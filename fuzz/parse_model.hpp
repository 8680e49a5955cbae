// A plain model of the quaro parser and argument builder over the lexer's tokens, written
// straight from the grammar, for differential fuzzing. It gives up (rather than recursing or
// copying without bound) where the real parser has limits of its own.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "quaro/dsl/lex.hpp"
#include "quaro/dsl/ops.hpp"
#include "quaro/dsl/parse.hpp"
#include "quaro/json.hpp"

namespace fuzz {

struct ParseModel {
  enum class Outcome { Ok, Error, GaveUp } outcome = Outcome::Ok;
  quaro::ParseError error;
  quaro::parse::Analysis analysis;
  std::vector<std::string> left_over; // keywords a "has no field" error may name
};

class ParserModel {
public:
  explicit ParserModel(const std::vector<quaro::Token> &tokens) : t_(tokens) {}

  ParseModel run() {
    ParseModel out;
    quaro::Value strategy;
    const bool ok = program(strategy);
    if (gave_up_) {
      out.outcome = ParseModel::Outcome::GaveUp;
    } else if (!ok) {
      out.outcome = ParseModel::Outcome::Error;
      out.error = error_;
      out.left_over = left_over_;
    } else {
      out.analysis.expr = std::move(strategy);
      out.analysis.refs = refs_;
      for (const auto &b : lets_)
        if (!used_.count(b.name))
          out.analysis.unused.push_back(b);
    }
    return out;
  }

private:
  using Value = quaro::Value;
  using TK = quaro::TokenKind;

  const quaro::Token &peek(std::size_t ahead = 0) const {
    return t_[std::min(pos_ + ahead, t_.size() - 1)];
  }
  const quaro::Token &next() {
    const quaro::Token &t = t_[pos_];
    if (pos_ + 1 < t_.size())
      ++pos_;
    return t;
  }
  bool fail_at(const quaro::Token &t, std::string message) {
    error_ = quaro::ParseError{std::move(message), t.line, t.col};
    return false;
  }
  bool fail(std::string message) { return fail_at(peek(), std::move(message)); }
  static std::string ticked(std::string_view s) { return "`" + std::string(s) + "`"; }

  static std::size_t count_values(const Value &v) {
    std::size_t n = 1;
    if (v.is_structured())
      for (const Value &c : v)
        n += count_values(c);
    return n;
  }

  static Value number(double v) {
    if (!std::isfinite(v))
      return nullptr;
    if (std::trunc(v) == v && std::fabs(v) < 9007000000000000.0)
      return static_cast<std::uint64_t>(v);
    return v;
  }

  static bool promote(Value raw, Value &out, std::string &message) {
    if (raw.is_object()) {
      out = std::move(raw);
      return true;
    }
    if (raw.is_number()) {
      out = Value::object();
      out["op"] = "Const";
      out["value"] = std::move(raw);
      return true;
    }
    if (raw.is_boolean())
      message = "a boolean cannot stand alone as an expression";
    else if (raw.is_string())
      message = "a string cannot stand alone as an expression";
    else
      message = "invalid expression: " + raw.dump(-1, ' ', false, Value::error_handler_t::replace);
    return false;
  }

  bool promote_here(Value raw, Value &out) {
    std::string message;
    return promote(std::move(raw), out, message) || fail(message);
  }

  bool program(Value &strategy) {
    while (peek().kind == TK::Let) {
      next();
      const quaro::Token &name = next();
      if (name.kind != TK::Ident)
        return fail_at(name, "expected name after `let`");
      if (next().kind != TK::Eq)
        return fail("expected `=` in let binding");
      Value raw, value;
      if (!expr(0, raw) || !promote_here(std::move(raw), value))
        return false;
      if (bindings_.count(name.text))
        return fail_at(name, ticked(name.text) + " is already defined");
      lets_.push_back(quaro::parse::LetBinding{name.text, name.line, name.col});
      sizes_[name.text] = count_values(value);
      bindings_.emplace(name.text, std::move(value));
    }
    if (!expr(0, strategy))
      return false;
    if (peek().kind != TK::Eof)
      return fail("unexpected trailing input");
    if (!strategy.is_object())
      return fail("a strategy must be an expression, not a bare constant");
    return true;
  }

  static unsigned strength(const quaro::Token &t) {
    if (t.kind == TK::Ident)
      return t.text == "or" ? 2 : t.text == "and" ? 4 : 0;
    if (t.kind != TK::Op)
      return 0;
    if (t.text == "+" || t.text == "-")
      return 8;
    if (t.text == "*" || t.text == "/")
      return 10;
    return 6;
  }

  // Recursion guard: the real parser refuses such depths anyway.
  bool deeper() {
    if (++depth_ > 600)
      gave_up_ = true;
    return !gave_up_;
  }

  bool expr(unsigned min, Value &out) {
    if (!deeper())
      return false;
    const quaro::Token &first = peek();
    if ((first.kind == TK::Ident && first.text == "not") ||
        (first.kind == TK::Op && first.text == "-")) {
      const bool is_not = first.kind == TK::Ident;
      next();
      Value operand, of;
      if (!expr(is_not ? 5 : 7, operand) || !promote_here(std::move(operand), of))
        return false;
      out = Value::object();
      out["op"] = is_not ? "Not" : "Neg";
      out["of"] = std::move(of);
    } else if (first.kind == TK::Op) {
      return fail("unexpected operator " + ticked(first.text));
    } else if (!primary(out)) {
      return false;
    }
    for (;;) {
      const quaro::Token &op = peek();
      const unsigned s = strength(op);
      if (s == 0 || s < min)
        break;
      const std::string symbol = op.text;
      next();
      Value right, l, r;
      if (!expr(s + 1, right) || !promote_here(std::move(out), l) ||
          !promote_here(std::move(right), r))
        return false;
      out = Value::object();
      out["op"] = *quaro::ops::binop_tag(symbol);
      out["l"] = std::move(l);
      out["r"] = std::move(r);
    }
    --depth_;
    return true;
  }

  bool primary(Value &out) {
    const quaro::Token &t = next();
    switch (t.kind) {
    case TK::Num:
      out = number(t.num);
      return true;
    case TK::Str:
      out = t.text;
      return true;
    case TK::LParen:
      if (!expr(0, out))
        return false;
      if (next().kind != TK::RParen)
        return fail("expected `)`");
      return true;
    case TK::Ident:
      if (t.text == "true" || t.text == "false") {
        out = t.text == "true";
        return true;
      }
      if (peek().kind == TK::LParen)
        return call(t, out);
      if (const auto b = bindings_.find(t.text); b != bindings_.end()) {
        used_.insert(t.text);
        copied_ += sizes_[t.text];
        if (copied_ > (std::size_t{1} << 20)) {
          gave_up_ = true;
          return false;
        }
        out = b->second;
        return true;
      }
      refs_.push_back(quaro::parse::SeriesRef{t.text, t.line, t.col});
      out = Value::object();
      out["name"] = t.text;
      out["op"] = "Data";
      return true;
    default:
      return fail_at(t, "unexpected token " + std::string(quaro::lex::kind_name(t.kind)));
    }
  }

  bool arg_value(Value &out) {
    if (peek().kind != TK::LBracket)
      return expr(0, out);
    next();
    out = Value::array();
    while (peek().kind != TK::RBracket) {
      Value element;
      if (!expr(0, element))
        return false;
      out.push_back(std::move(element));
      if (peek().kind == TK::Comma)
        next();
    }
    next();
    return true;
  }

  bool eat_comma() {
    if (peek().kind == TK::RParen)
      return true;
    if (peek().kind == TK::Comma) {
      next();
      return true;
    }
    return fail("expected `,` or `)`");
  }

  bool call(const quaro::Token &name, Value &out) {
    const quaro::ops::OpSpec *row = quaro::ops::find_by_alias(name.text);
    if (!row)
      return fail_at(name, "unknown op " + ticked(name.text));
    next(); // (
    std::vector<Value> positional;
    std::map<std::string, Value> keywords;
    bool seen_keyword = false;
    for (;;) {
      const quaro::Token &t = peek();
      if (t.kind == TK::Ident && peek(1).kind == TK::Eq) {
        const std::string key = t.text;
        next();
        next();
        Value v;
        if (!arg_value(v))
          return false;
        keywords[key] = std::move(v);
        if (!eat_comma())
          return false;
        seen_keyword = true;
      } else if (t.kind == TK::RParen) {
        next();
        break;
      } else {
        if (seen_keyword)
          return fail("positional argument after keyword argument");
        Value v;
        if (!arg_value(v))
          return false;
        positional.push_back(std::move(v));
        if (!eat_comma())
          return false;
      }
    }
    std::string message;
    if (!build(*row, std::move(positional), std::move(keywords), out, message))
      return fail_at(name, message);
    return true;
  }

  bool build(const quaro::ops::OpSpec &row, std::vector<Value> positional,
             std::map<std::string, Value> keywords, Value &out, std::string &message) {
    using K = quaro::ops::ParamKind;
    const std::string tag(row.tag);
    out = Value::object();
    out["op"] = tag;
    if (positional.size() > row.params.size()) {
      message =
          ticked(tag) + " takes at most " + std::to_string(row.params.size()) + " positional args";
      return false;
    }
    for (std::size_t i = 0; i < row.params.size(); ++i) {
      const quaro::ops::ParamSpec &p = row.params[i];
      const std::string name(p.name);
      Value v;
      if (i < positional.size()) {
        v = std::move(positional[i]);
      } else if (const auto kw = keywords.find(name); kw != keywords.end()) {
        v = std::move(kw->second);
        keywords.erase(kw);
      } else if (quaro::ops::required(p.kind)) {
        message = ticked(tag) + " requires " + ticked(name);
        return false;
      } else {
        continue;
      }
      switch (p.kind) {
      case K::Expr:
      case K::OptExpr: {
        Value node;
        if (!promote(std::move(v), node, message))
          return false;
        v = std::move(node);
        break;
      }
      case K::ExprList:
        if (!v.is_array()) {
          message = ticked(name) + " must be a list `[ ... ]`";
          return false;
        }
        for (Value &e : v) {
          Value node;
          if (!promote(std::move(e), node, message))
            return false;
          e = std::move(node);
        }
        break;
      case K::Number:
      case K::OptNumber:
        if (!v.is_number()) {
          message = ticked(name) + " must be a number";
          return false;
        }
        break;
      case K::OptBool:
        if (!v.is_boolean()) {
          message = ticked(name) + " must be true/false";
          return false;
        }
        break;
      case K::Str:
      case K::OptStr:
        if (!v.is_string()) {
          message = ticked(name) + " must be a string";
          return false;
        }
        break;
      case K::OptStrList:
        if (!v.is_array()) {
          message = ticked(name) + " must be a list of strings";
          return false;
        }
        break;
      }
      out[name] = std::move(v);
    }
    if (!keywords.empty()) {
      for (const auto &[k, v] : keywords)
        left_over_.push_back(k);
      message = ticked(tag) + " has no field " + ticked(keywords.begin()->first);
      return false;
    }
    return true;
  }

  const std::vector<quaro::Token> &t_;
  std::size_t pos_ = 0, depth_ = 0, copied_ = 0;
  bool gave_up_ = false;
  quaro::ParseError error_;
  std::vector<quaro::parse::SeriesRef> refs_;
  std::vector<quaro::parse::LetBinding> lets_;
  std::map<std::string, Value> bindings_;
  std::map<std::string, std::size_t> sizes_;
  std::set<std::string> used_;
  std::vector<std::string> left_over_;
};

} // namespace fuzz
