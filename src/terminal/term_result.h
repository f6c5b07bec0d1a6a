// TermResult<T>: a value or one error text. TermError: the error text itself.
//
// The terminal reports every ordinary failure as text ("cd: missing argument");
// nothing here throws for one. The error is wrapped in TermError so that a
// TermResult<std::string> can tell an output text from an error text.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace moxtile {

struct TermError {
  std::string message;
};

template <class T>
class [[nodiscard]] TermResult {
 public:
  TermResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}        // NOLINT: implicit
  TermResult(TermError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // REQUIRES: ok().
  T& value() & { return *std::get_if<0>(&v_); }
  const T& value() const& { return *std::get_if<0>(&v_); }
  T&& value() && { return std::move(*std::get_if<0>(&v_)); }

  // REQUIRES: !ok().
  const std::string& error() const& { return std::get_if<1>(&v_)->message; }
  std::string&& error() && { return std::move(std::get_if<1>(&v_)->message); }

 private:
  std::variant<T, TermError> v_;
};

template <>
class [[nodiscard]] TermResult<void> {
 public:
  TermResult() = default;
  TermResult(TermError error) : error_(std::move(error.message)) {}  // NOLINT: implicit

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }

  // REQUIRES: !ok().
  const std::string& error() const& { return *error_; }
  std::string&& error() && { return std::move(*error_); }

 private:
  std::optional<std::string> error_;
};

}  // namespace moxtile
