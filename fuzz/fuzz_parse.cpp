// Lexer and parser on arbitrary bytes: no crash, tokens and errors well positioned, and every
// tree built is well-formed and printable as JSON text.
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "quaro/dsl/lex.hpp"
#include "quaro/dsl/parse.hpp"
#include "tree.hpp"

namespace {

bool same_error(const quaro::ParseError &a, const quaro::ParseError &b) {
  return a.message == b.message && a.line == b.line && a.col == b.col;
}

void check_tokens(const std::vector<quaro::Token> &tokens) {
  using quaro::TokenKind;
  fuzz::check(!tokens.empty() && tokens.back().kind == TokenKind::Eof, "token list without Eof");
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const quaro::Token &t = tokens[i];
    fuzz::check(t.line >= 1 && t.col >= 1, "token position below 1:1", quaro::lex::debug(t));
    fuzz::check(t.kind != TokenKind::Eof || i + 1 == tokens.size(), "Eof before the end");
    if (i > 0) {
      // Every token takes at least one column, so positions strictly increase.
      const quaro::Token &p = tokens[i - 1];
      fuzz::check(p.line < t.line || (p.line == t.line && p.col < t.col),
                  "token positions not increasing",
                  quaro::lex::debug(p) + " then " + quaro::lex::debug(t));
    }
    switch (t.kind) {
    case TokenKind::Num:
      fuzz::check(t.num >= 0, "negative or NaN number token", quaro::lex::debug(t));
      break;
    case TokenKind::Ident:
      fuzz::check(fuzz::is_identifier(t.text) && t.text != "let", "malformed identifier",
                  quaro::lex::debug(t));
      break;
    case TokenKind::Op:
      fuzz::check(t.text == "+" || t.text == "-" || t.text == "*" || t.text == "/" ||
                      t.text == "<" || t.text == ">" || t.text == "<=" || t.text == ">=",
                  "unknown operator token", quaro::lex::debug(t));
      break;
    default:
      break;
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view src = fuzz::text(data, size);

  const auto tokens = quaro::lex::lex(src);
  if (tokens)
    check_tokens(*tokens);
  else
    fuzz::check(tokens.error().line >= 1 && tokens.error().col >= 1 &&
                    !tokens.error().message.empty(),
                "lex error badly formed", tokens.error().to_string());

  const auto analysis = quaro::parse::parse_analyzed(src);
  const auto tree = quaro::parse::parse(src);
  fuzz::check(analysis.has_value() == tree.has_value(), "parse and parse_analyzed disagree");
  if (!analysis) {
    const quaro::ParseError &e = analysis.error();
    fuzz::check(e.line >= 1 && e.col >= 1 && !e.message.empty(), "parse error badly formed",
                e.to_string());
    fuzz::check(same_error(e, tree.error()), "parse and parse_analyzed report different errors",
                e.to_string() + " / " + tree.error().to_string());
    if (!tokens)
      fuzz::check(same_error(e, tokens.error()), "lex error not passed on unchanged",
                  e.to_string() + " / " + tokens.error().to_string());
    return 0;
  }
  fuzz::check(tokens.has_value(), "parse succeeded on source that does not lex");
  fuzz::check(fuzz::strict_equal(analysis->expr, *tree), "parse and parse_analyzed trees differ");
  fuzz::check_node(analysis->expr);
  for (const quaro::parse::SeriesRef &r : analysis->refs)
    fuzz::check(fuzz::is_identifier(r.name) && r.line >= 1 && r.col >= 1, "bad series ref", r.name);
  for (const quaro::parse::LetBinding &b : analysis->unused)
    fuzz::check(fuzz::is_identifier(b.name) && b.line >= 1 && b.col >= 1, "bad let binding",
                b.name);

  // A source strategy goes on to the engine as compact JSON text.
  try {
    (void)analysis->expr.dump();
  } catch (const std::exception &e) {
    fuzz::fail("tree does not print as JSON text", e.what());
  }
  return 0;
}
