// FileHandleType: the access a handle was opened with (a set of flags), and
// SeekOrigin: the origin of a seek.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/io_result.h"

namespace moxtile {

class FileHandleType final {
 public:
  static constexpr std::uint32_t kEmpty = 0;
  static constexpr std::uint32_t kRead = 1;
  static constexpr std::uint32_t kWrite = 2;

  constexpr FileHandleType() noexcept = default;
  constexpr explicit FileHandleType(std::uint32_t bits) noexcept : bits_(bits) {}

  // Parses "", "r", "w", "rw", "wr"; anything else (capitals, "a", "+", "b",
  // a repeated letter) is UnrecognizedFileMode.
  static IoResult<FileHandleType> from_str(std::string_view mode);

  constexpr std::uint32_t bits() const noexcept { return bits_; }
  constexpr bool can_read() const noexcept { return (bits_ & kRead) != 0; }
  constexpr bool can_write() const noexcept { return (bits_ & kWrite) != 0; }

  // "FileHandleType(READ | WRITE)", "FileHandleType(READ)", "FileHandleType(0x0)".
  void append_debug(std::string& out) const;

  friend constexpr bool operator==(FileHandleType a, FileHandleType b) noexcept {
    return a.bits_ == b.bits_;
  }

 private:
  std::uint32_t bits_ = kEmpty;
};

// Declaration order is part of the contract: Start, End, Current.
// The amount of a seek is unsigned for every origin: End counts backwards from
// the end, Current forwards from the position.
enum class SeekOrigin : std::uint8_t { Start, End, Current };

}  // namespace moxtile
