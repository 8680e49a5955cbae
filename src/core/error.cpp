#include "core/error.hpp"

#include <charconv>

namespace zorv {

namespace {

void append_number(std::string &out, std::size_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

} // namespace

std::string EngineError::to_string() const {
  std::string out;
  if (const auto *s = std::get_if<Shape>(&kind)) {
    out.append("shape mismatch: ");
    append_number(out, s->rows);
    out.push_back('x');
    append_number(out, s->cols);
    out.append(" != data len ");
    append_number(out, s->len);
    return out;
  }
  out.append("eval error: ");
  out.append(std::get<Eval>(kind).message);
  return out;
}

} // namespace zorv
