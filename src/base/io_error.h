// IoError: the one error value of the filesystem core.
//
// Every fallible filesystem operation returns its value or exactly one IoError;
// nothing in the core throws for an ordinary failure. The value is two words,
// trivially copyable, and owns nothing: the operation name that
// OperationNotSupported carries is always a string literal of the program.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace moxtile {

// Declaration order is part of the contract (ordinal = position).
enum class IoErrorKind : std::uint8_t {
  InodeNotFound,
  NotADirectory,
  NotAFile,
  NotASymlink,
  MaxRecursionDepthExceeded,
  ResourceAlreadyExists,
  DirectoryIsNotEmpty,
  ResourceCurrentInUse,
  UnrecognizedFileMode,
  OperationNotSupported,
  InvalidFileDescriptor,
};

class IoError final {
 public:
  constexpr IoError(IoErrorKind kind) noexcept : kind_(kind) {}  // NOLINT: implicit on purpose

  // REQUIRES: `operation` is a string literal ("read" or "write").
  static constexpr IoError operation_not_supported(const char* operation) noexcept {
    IoError e(IoErrorKind::OperationNotSupported);
    e.operation_ = operation;
    return e;
  }

  constexpr IoErrorKind kind() const noexcept { return kind_; }

  // Display form, e.g. "Inode not found". This is what users see.
  std::string message() const;
  // Appends the display form to `out` (no allocation beyond what `out` needs).
  void append_message(std::string& out) const;

  friend constexpr bool operator==(const IoError& a, const IoError& b) noexcept {
    if (a.kind_ != b.kind_) return false;
    if (a.operation_ == b.operation_) return true;
    if (a.operation_ == nullptr || b.operation_ == nullptr) return false;
    return std::string_view(a.operation_) == std::string_view(b.operation_);
  }

 private:
  IoErrorKind kind_;
  const char* operation_ = nullptr;
};

}  // namespace moxtile
