#include "core/error.hpp"

namespace zorv {

std::string EngineError::to_string() const {
  if (const auto *s = std::get_if<Shape>(&kind)) {
    return "shape mismatch: " + std::to_string(s->rows) + "x" + std::to_string(s->cols) +
           " != data len " + std::to_string(s->len);
  }
  return "eval error: " + std::get<Eval>(kind).message;
}

} // namespace zorv
