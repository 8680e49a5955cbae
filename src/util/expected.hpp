// A small value-or-error type: errors travel as values, never as exceptions.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace util {

template <class E> struct Unexpected { E error; };

template <class E> Unexpected<std::decay_t<E>> unexpected(E &&e) { return {std::forward<E>(e)}; }

template <class T, class E> class [[nodiscard]] Expected {
public:
  Expected(const T &v) : v_(std::in_place_index<0>, v) {}
  Expected(T &&v) : v_(std::in_place_index<0>, std::move(v)) {}
  template <class G> Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T &value() & { return std::get<0>(v_); }
  const T &value() const & { return std::get<0>(v_); }
  T &&value() && { return std::get<0>(std::move(v_)); }
  T &operator*() & { return value(); }
  const T &operator*() const & { return value(); }
  T &&operator*() && { return std::move(*this).value(); }
  T *operator->() { return &value(); }
  const T *operator->() const { return &value(); }

  E &error() & { return std::get<1>(v_); }
  const E &error() const & { return std::get<1>(v_); }
  E &&error() && { return std::get<1>(std::move(v_)); }

private:
  std::variant<T, E> v_;
};

// Expected<void, E>: success carries nothing.
template <class E> class [[nodiscard]] Expected<void, E> {
public:
  Expected() = default;
  template <class G> Expected(Unexpected<G> u) : err_(std::move(u.error)), ok_(false) {}
  bool has_value() const { return ok_; }
  explicit operator bool() const { return ok_; }
  E &error() & { return err_; }
  const E &error() const & { return err_; }
  E &&error() && { return std::move(err_); }

private:
  E err_{};
  bool ok_ = true;
};

} // namespace util

// Propagation: hand an error on to the caller unchanged, so that call sites read as the happy path.
//   UTIL_TRY(check(x));                      returns check's error, if any
//   UTIL_ASSIGN_OR_RETURN(auto p, load(x));  declares p from load's value, or returns its error
// The enclosing function's result must be constructible from util::Unexpected of that error.
#define UTIL_TRY(expr)                                                                             \
  do {                                                                                             \
    auto &&util_try_result_ = (expr);                                                              \
    if (!util_try_result_) {                                                                       \
      return ::util::unexpected(std::move(util_try_result_).error());                              \
    }                                                                                              \
  } while (false)

#define UTIL_CONCAT_INNER_(a, b) a##b
#define UTIL_CONCAT_(a, b) UTIL_CONCAT_INNER_(a, b)
#define UTIL_ASSIGN_OR_RETURN(lhs, expr)                                                           \
  UTIL_ASSIGN_OR_RETURN_IMPL_(UTIL_CONCAT_(util_assign_result_, __LINE__), lhs, expr)
#define UTIL_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)                                                \
  auto tmp = (expr);                                                                               \
  if (!tmp) {                                                                                      \
    return ::util::unexpected(std::move(tmp).error());                                             \
  }                                                                                                \
  lhs = std::move(tmp).value()
