// Panic: a fatal internal error (a broken invariant, a poisoned lock, a host
// tool that cannot be started, a failed kill).
//
// Ordinary failures are values (IoError, error strings); a Panic unwinds out of
// the operation instead. The Python binding stops it at the method boundary and
// raises it as PanicException; it never ends the process.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace moxtile {

class Panic final : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

[[noreturn]] inline void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace moxtile
