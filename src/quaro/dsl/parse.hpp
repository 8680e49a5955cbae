// Parser and argument builder: quaro source to the expression tree's JSON form.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quaro/dsl/lex.hpp"
#include "quaro/dsl/ops.hpp"
#include "quaro/json.hpp"
#include "util/expected.hpp"

namespace quaro::parse {

// An identifier that became a Data node, at its position.
struct SeriesRef {
  std::string name;
  std::size_t line = 0;
  std::size_t col = 0;
};

// A name bound by `let`, at the position of its name token.
struct LetBinding {
  std::string name;
  std::size_t line = 0;
  std::size_t col = 0;
};

struct Analysis {
  std::vector<SeriesRef> refs;    // every series reference, in parse order
  std::vector<LetBinding> unused; // bindings nothing referred to, in definition order
  Value expr;                     // the strategy's tree
};

// Keyword arguments of one call in the order first given; a repeated keyword keeps the later
// value in its first place.
using Keywords = std::vector<std::pair<std::string, Value>>;

// How tightly each infix operator binds (higher binds tighter); every one is left-associative.
// The symbols are those of ops::BINOP_TABLE, which gives their tags.
struct InfixStrength {
  std::string_view symbol;
  unsigned strength;
};
inline constexpr std::array<InfixStrength, 10> INFIX_STRENGTH{{
    {"or", 2},
    {"and", 4},
    {"<", 6},
    {">", 6},
    {"<=", 6},
    {">=", 6},
    {"+", 8},
    {"-", 8},
    {"*", 10},
    {"/", 10},
}};

// Prefix `not` and `-` parse their operand at these strengths, so the operand takes in every
// infix operator at least as strong: `-a + b` negates the sum, `not a > b` the comparison.
inline constexpr unsigned NOT_OPERAND_STRENGTH = 5;
inline constexpr unsigned NEG_OPERAND_STRENGTH = 7;

// Source nested deeper than this (parentheses, prefix operators, right operands, call
// arguments and list elements together) is refused: the parser recurses once per level.
inline constexpr std::size_t MAX_DEPTH = 256;

// Trees deeper than this are refused too. Long operator chains and `let` values nest the tree
// without nesting the source, and every later walk of the tree recurses per level. It is the
// deepest tree the expression reader accepts, and the deepest whose printed form (a parenthesis
// and a prefix per level) stays within MAX_DEPTH, so every parsed tree prints as source that
// parses back.
inline constexpr std::size_t MAX_TREE_DEPTH = 127;

// Upper bound on JSON values copied in for `let` references; every use copies the whole value,
// so chains of bindings could otherwise grow the tree exponentially.
inline constexpr std::size_t MAX_COPIED = std::size_t{1} << 18;

// A raw value (number, string, boolean, null, array or node) as a tree node, or a message.
util::Expected<Value, std::string> promote(Value raw);

// The node of a call of `row` with the arguments collected, or a message.
util::Expected<Value, std::string> build(const ops::OpSpec &row, std::vector<Value> positional,
                                         Keywords keywords);

// The state of one parse over the lexer's tokens.
class Parser {
public:
  explicit Parser(std::vector<Token> tokens);

  // Bindings, then the strategy, then the end of input.
  util::Expected<Analysis, ParseError> program();

private:
  // A value with the number of tree levels it spans (an upper bound).
  struct Raw {
    Value value;
    std::size_t levels = 0;
  };
  struct Bound {
    Value value;
    std::size_t levels = 0;
    std::size_t size = 0; // JSON values in it
  };

  const Token &peek(std::size_t ahead = 0) const;
  const Token &next();
  ParseError err(std::string message) const;
  bool fail(std::string message);
  bool fail_at(const Token &t, std::string message);
  bool enter();
  void leave();
  bool deeper(const Token &at, std::size_t levels);

  bool expr(unsigned min, Raw &out);
  bool primary(Raw &out);
  bool call(Raw &out);
  bool arg_value(Raw &out);
  bool eat_comma();
  bool let_binding();

  std::vector<SeriesRef> refs_;
  std::vector<LetBinding> lets_;
  std::vector<Token> tokens_;
  std::map<std::string, Bound, std::less<>> bindings_;
  std::unordered_set<std::string> used_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  std::size_t copied_ = 0;
  ParseError error_;
};

util::Expected<Analysis, ParseError> parse_analyzed(std::string_view src);
util::Expected<Value, ParseError> parse(std::string_view src);

} // namespace quaro::parse
