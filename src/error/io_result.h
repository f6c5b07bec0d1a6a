// IoResult<T>: a value or one IoError. IoStatus (= IoResult<void>): success or one IoError.
//
// Callers write `if (!r) return r.error();`. Success of IoStatus costs one byte.
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

#include "error/io_error.h"

namespace moxtile {

template <class T>
class [[nodiscard]] IoResult {
 public:
  IoResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  IoResult(IoError error) : v_(std::in_place_index<1>, error) {}        // NOLINT: implicit
  IoResult(IoErrorKind kind) : v_(std::in_place_index<1>, kind) {}      // NOLINT: implicit

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
  IoError error() const { return *std::get_if<1>(&v_); }

 private:
  std::variant<T, IoError> v_;
};

template <>
class [[nodiscard]] IoResult<void> {
 public:
  IoResult() = default;
  IoResult(IoError error) : error_(error) {}    // NOLINT: implicit
  IoResult(IoErrorKind kind) : error_(kind) {}  // NOLINT: implicit

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  // REQUIRES: !ok().
  IoError error() const { return *error_; }

 private:
  std::optional<IoError> error_;
};

using IoStatus = IoResult<void>;

}  // namespace moxtile
