// Expected<T, E>: a value or one error, for the pool's fallible operations.
//
// The pool reports ordinary failures as values: E is an error string
// (PoolResult) or an errno (SysResult). Callers write `if (!r) return r.error();`.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace moxtile {

// Wraps an error so that Expected<T, E> can be built from it even when T and E
// could be confused (e.g. both strings).
template <class E>
struct Unexpected {
  E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  template <class G>
  Expected(Unexpected<G> e) : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT: implicit

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // REQUIRES: ok().
  T& value() & { return *std::get_if<0>(&v_); }
  const T& value() const& { return *std::get_if<0>(&v_); }
  T&& value() && { return std::move(*std::get_if<0>(&v_)); }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !ok().
  E& error() & { return *std::get_if<1>(&v_); }
  const E& error() const& { return *std::get_if<1>(&v_); }
  E&& error() && { return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, E> v_;
};

// Success or one error.
template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <class G>
  Expected(Unexpected<G> e) : error_(std::move(e.error)), failed_(true) {}  // NOLINT: implicit

  bool ok() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return ok(); }
  // REQUIRES: !ok().
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_{};
  bool failed_ = false;
};

// An ordinary failure of the pool or a session: the message the caller sees.
template <class T>
using PoolResult = Expected<T, std::string>;

// A failed system call: the errno it left.
template <class T>
using SysResult = Expected<T, int>;

inline Unexpected<std::string> pool_error(std::string message) { return {std::move(message)}; }
inline Unexpected<int> sys_error(int err) { return {err}; }

}  // namespace moxtile
