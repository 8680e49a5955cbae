#include "core/error.hpp"

namespace zorv {

std::string EngineError::to_string() const {
  std::string out;
  if (const auto *s = std::get_if<Shape>(&kind)) {
    out.append("shape mismatch: ")
        .append(std::to_string(s->rows))
        .append("x")
        .append(std::to_string(s->cols))
        .append(" != data len ")
        .append(std::to_string(s->len));
    return out;
  }
  return out.append("eval error: ").append(std::get<Eval>(kind).message);
}

} // namespace zorv
