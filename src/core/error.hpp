// The engine's one error type.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include "util/expected.hpp"

namespace zorv {

struct EngineError {
  struct Shape {
    std::size_t rows, cols, len;
  };
  struct Eval {
    std::string message;
  };
  std::variant<Shape, Eval> kind;

  static EngineError shape(std::size_t rows, std::size_t cols, std::size_t len) {
    return {Shape{rows, cols, len}};
  }
  static EngineError eval(std::string message) { return {Eval{std::move(message)}}; }

  bool is_shape() const { return kind.index() == 0; }
  bool is_eval() const { return kind.index() == 1; }
  // Display form, the text the Python layer raises.
  std::string to_string() const;
};

template <class T> using Result = util::Expected<T, EngineError>;

// Shorthand for failing with EngineError::Eval.
inline util::Unexpected<EngineError> eval_error(std::string message) {
  return {EngineError::eval(std::move(message))};
}

} // namespace zorv
