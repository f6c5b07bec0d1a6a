// Expected<T, E>: a value or one error. The core reports every ordinary
// failure this way: IoResult (an IoError) in the filesystem, TermResult (an
// error text) in the terminal, PoolResult (an error text) and SysResult (an
// errno) in the user pool. Callers write `if (!r) return r.error();`.
#pragma once

#include <optional>
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
  const T& operator*() const& { return value(); }
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
  Expected(Unexpected<G> e) : error_(std::in_place, std::move(e.error)) {}  // NOLINT: implicit

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  // REQUIRES: !ok().
  // NOLINTNEXTLINE(bugprone-unchecked-optional-access): callers check ok() first
  const E& error() const& { return *error_; }
  // NOLINTNEXTLINE(bugprone-unchecked-optional-access): callers check ok() first
  E&& error() && { return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace moxtile
