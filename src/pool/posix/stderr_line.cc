#include "pool/posix/stderr_line.h"

#include <unistd.h>

#include <new>
#include <string>

#include "base/write_all.h"

namespace moxtile {

void write_stderr_line(std::string_view text) noexcept {
  try {
    // One buffer, so that the line usually leaves in one write call.
    std::string line;
    line.reserve(text.size() + 1);
    line += text;
    line += '\n';
    (void)write_all(STDERR_FILENO, line);
  } catch (const std::bad_alloc&) {
    // No room for a copy: the same bytes in two calls.
    if (write_all(STDERR_FILENO, text) == 0) (void)write_all(STDERR_FILENO, "\n");
  }
}

}  // namespace moxtile
