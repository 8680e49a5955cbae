// Lexer and parser on arbitrary bytes, each against a model written from its rules: the same
// tokens, trees, references, unused bindings and errors at the same positions. Every tree built
// is well formed, prints as JSON text and reaches the tree reader.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "check.hpp"
#include "lex_model.hpp"
#include "parse_model.hpp"
#include "quaro/dsl/lex.hpp"
#include "quaro/dsl/parse.hpp"
#include "quaro/spec.hpp"
#include "tree.hpp"

namespace {

bool same_error(const quaro::ParseError &a, const quaro::ParseError &b) {
  return a.message == b.message && a.line == b.line && a.col == b.col;
}

void check_tokens(const std::vector<quaro::Token> &tokens) {
  using quaro::TokenKind;
  FUZZ_CHECK(!tokens.empty() && tokens.back().kind == TokenKind::Eof, "token list without Eof");
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const quaro::Token &t = tokens[i];
    FUZZ_CHECK(t.line >= 1 && t.col >= 1, "token position below 1:1", quaro::lex::debug(t));
    FUZZ_CHECK(t.kind != TokenKind::Eof || i + 1 == tokens.size(), "Eof before the end");
    if (i > 0) {
      // Every token takes at least one column, so positions strictly increase.
      const quaro::Token &p = tokens[i - 1];
      FUZZ_CHECK(p.line < t.line || (p.line == t.line && p.col < t.col),
                 "token positions not increasing",
                 quaro::lex::debug(p) + " then " + quaro::lex::debug(t));
    }
    switch (t.kind) {
    case TokenKind::Num:
      FUZZ_CHECK(t.num >= 0, "negative or NaN number token", quaro::lex::debug(t));
      break;
    case TokenKind::Ident:
      FUZZ_CHECK(fuzz::is_identifier(t.text) && t.text != "let", "malformed identifier",
                 quaro::lex::debug(t));
      break;
    case TokenKind::Op:
      FUZZ_CHECK(t.text == "+" || t.text == "-" || t.text == "*" || t.text == "/" ||
                     t.text == "<" || t.text == ">" || t.text == "<=" || t.text == ">=",
                 "unknown operator token", quaro::lex::debug(t));
      break;
    default:
      break;
    }
  }
}

// The lexer against the model, on well-formed UTF-8.
void check_against_model(std::string_view src,
                         const util::Expected<std::vector<quaro::Token>, quaro::ParseError> &got) {
  if (!fuzz::valid_utf8(src))
    return;
  const fuzz::LexModel want = fuzz::lex_model(src);
  if (!want.ok) {
    FUZZ_CHECK(!got, "lexer takes what the model refuses", want.error.to_string());
    FUZZ_CHECK(same_error(got.error(), want.error), "lexer error differs from the model",
               got.error().to_string() + " / " + want.error.to_string());
    return;
  }
  FUZZ_CHECK(got.has_value(), "lexer refuses what the model takes", got.error().to_string());
  FUZZ_CHECK(got->size() == want.tokens.size(), "lexer gives another number of tokens");
  for (std::size_t i = 0; i < want.tokens.size(); ++i) {
    const quaro::Token &a = (*got)[i], &b = want.tokens[i];
    const bool payload = a.kind == quaro::TokenKind::Ident || a.kind == quaro::TokenKind::Str ||
                         a.kind == quaro::TokenKind::Op;
    const bool same =
        a.kind == b.kind && a.line == b.line && a.col == b.col &&
        (a.kind != quaro::TokenKind::Num || std::memcmp(&a.num, &b.num, sizeof a.num) == 0) &&
        (!payload || a.text == b.text);
    FUZZ_CHECK(same, "token differs from the model",
               quaro::lex::debug(a) + "@" + std::to_string(a.line) + ":" + std::to_string(a.col) +
                   " / " + quaro::lex::debug(b) + "@" + std::to_string(b.line) + ":" +
                   std::to_string(b.col));
  }
}

std::string show_error(const quaro::ParseError &e) { return e.to_string(); }

// The parser against the model, over the same tokens; the parser's own limits are left out.
void check_against_parse_model(
    const std::vector<quaro::Token> &tokens,
    const util::Expected<quaro::parse::Analysis, quaro::ParseError> &got) {
  if (!got && (got.error().message == "expression nested too deeply" ||
               got.error().message == "expression too large"))
    return;
  const fuzz::ParseModel want = fuzz::ParserModel(tokens).run();
  using O = fuzz::ParseModel::Outcome;
  if (want.outcome == O::GaveUp)
    return;
  if (want.outcome == O::Error) {
    FUZZ_CHECK(!got, "parser takes what the model refuses", show_error(want.error));
    const quaro::ParseError &e = got.error();
    bool same = e.line == want.error.line && e.col == want.error.col;
    if (!want.left_over.empty()) {
      // With several keywords left over, any one of them may be named.
      const std::string head =
          want.error.message.substr(0, want.error.message.find(" has no field ") + 14);
      bool named = false;
      for (const std::string &k : want.left_over)
        named = named || e.message == head + "`" + k + "`";
      same = same && named;
    } else {
      same = same && e.message == want.error.message;
    }
    FUZZ_CHECK(same, "parse error differs from the model",
               show_error(e) + " / " + show_error(want.error));
    return;
  }
  FUZZ_CHECK(got.has_value(), "parser refuses what the model takes", show_error(got.error()));
  FUZZ_CHECK(fuzz::strict_equal(got->expr, want.analysis.expr), "tree differs from the model",
             fuzz::show(got->expr) + "\n" + fuzz::show(want.analysis.expr));
  bool same_refs = got->refs.size() == want.analysis.refs.size();
  for (std::size_t i = 0; same_refs && i < got->refs.size(); ++i) {
    const auto &a = got->refs[i], &b = want.analysis.refs[i];
    same_refs = a.name == b.name && a.line == b.line && a.col == b.col;
  }
  FUZZ_CHECK(same_refs, "series references differ from the model");
  bool same_unused = got->unused.size() == want.analysis.unused.size();
  for (std::size_t i = 0; same_unused && i < got->unused.size(); ++i) {
    const auto &a = got->unused[i], &b = want.analysis.unused[i];
    same_unused = a.name == b.name && a.line == b.line && a.col == b.col;
  }
  FUZZ_CHECK(same_unused, "unused bindings differ from the model");
}

std::size_t nesting(const quaro::Value &v) {
  if (!v.is_structured())
    return 0;
  std::size_t deepest = 0;
  for (const quaro::Value &child : v)
    deepest = std::max(deepest, nesting(child));
  return deepest + 1;
}

// Whether every field the tree reader takes as a count holds a non-negative integer and every
// text list holds only strings: the parser accepts any number and any list elements there.
bool reader_kinds(const quaro::Value &v) {
  if (!v.is_object())
    return true;
  const auto op = quaro::spec::op_from_name(v["op"].get<std::string>());
  if (!op)
    return false;
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it.key() == "op")
      continue;
    const auto index = quaro::spec::field_index(*op, it.key());
    if (!index)
      return false;
    switch (quaro::spec::op_def(*op).fields[*index].kind) {
    case quaro::spec::Kind::Count:
    case quaro::spec::Kind::OptCount:
      if (!it->is_number_integer())
        return false;
      break;
    case quaro::spec::Kind::OptTextList:
      for (const quaro::Value &e : *it)
        if (!e.is_string())
          return false;
      break;
    case quaro::spec::Kind::ExprList:
      for (const quaro::Value &e : *it)
        if (!reader_kinds(e))
          return false;
      break;
    default:
      if (!reader_kinds(*it))
        return false;
    }
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view src = fuzz::text(data, size);

  const auto tokens = quaro::lex::lex(src);
  check_against_model(src, tokens);
  if (tokens)
    check_tokens(*tokens);
  else
    FUZZ_CHECK(tokens.error().line >= 1 && tokens.error().col >= 1 &&
                   !tokens.error().message.empty(),
               "lex error badly formed", tokens.error().to_string());

  const auto analysis = quaro::parse::parse_analyzed(src);
  const auto tree = quaro::parse::parse(src);
  if (tokens)
    check_against_parse_model(*tokens, analysis);
  FUZZ_CHECK(analysis.has_value() == tree.has_value(), "parse and parse_analyzed disagree");
  if (!analysis) {
    const quaro::ParseError &e = analysis.error();
    FUZZ_CHECK(e.line >= 1 && e.col >= 1 && !e.message.empty(), "parse error badly formed",
               e.to_string());
    FUZZ_CHECK(same_error(e, tree.error()), "parse and parse_analyzed report different errors",
               e.to_string() + " / " + tree.error().to_string());
    if (!tokens)
      FUZZ_CHECK(same_error(e, tokens.error()), "lex error not passed on unchanged",
                 e.to_string() + " / " + tokens.error().to_string());
    return 0;
  }
  FUZZ_CHECK(tokens.has_value(), "parse succeeded on source that does not lex");
  FUZZ_CHECK(fuzz::strict_equal(analysis->expr, *tree), "parse and parse_analyzed trees differ");
  fuzz::check_node(analysis->expr);
  for (const quaro::parse::SeriesRef &r : analysis->refs)
    FUZZ_CHECK(fuzz::is_identifier(r.name) && r.line >= 1 && r.col >= 1, "bad series ref", r.name);
  for (const quaro::parse::LetBinding &b : analysis->unused)
    FUZZ_CHECK(fuzz::is_identifier(b.name) && b.line >= 1 && b.col >= 1, "bad let binding", b.name);

  // A source strategy goes on to the engine as compact JSON text, read by the tree reader; within
  // the reader's nesting limit and field kinds it must take every tree the parser makes.
  std::string json;
  try {
    json = analysis->expr.dump();
  } catch (const std::exception &e) {
    fuzz::fail("tree does not print as JSON text", e.what());
  }
  const auto read = quaro::spec::read_expr(json);
  if (nesting(analysis->expr) <= 127 && reader_kinds(analysis->expr))
    FUZZ_CHECK(read.has_value(), "the tree reader refuses the parser's tree",
               json + "\n" + (read ? std::string() : read.error()));
  return 0;
}
