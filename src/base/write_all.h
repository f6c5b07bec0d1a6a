// write_all: hands every byte of a buffer to a file descriptor.
//
// Retries a write that a signal interrupted (EINTR) and goes on after a
// partial one; any other failure ends it. Thread-safe: no shared state.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace moxtile {

// Writes all of `bytes` to `fd`. Returns 0, or the errno of the write that
// failed (some bytes may have gone out before it).
int write_all(int fd, std::span<const std::uint8_t> bytes) noexcept;

inline int write_all(int fd, std::string_view text) noexcept {
  return write_all(fd, std::span<const std::uint8_t>(
                           reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace moxtile
