#include "pool/stderr_line.h"

#include <errno.h>
#include <sys/uio.h>
#include <unistd.h>

namespace moxtile {

void write_stderr_line(std::string_view text) noexcept {
  char newline = '\n';
  iovec parts[2] = {{const_cast<char*>(text.data()), text.size()}, {&newline, 1}};
  iovec* next = parts;
  int count = 2;
  while (count > 0) {
    ssize_t n = ::writev(STDERR_FILENO, next, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    auto left = static_cast<std::size_t>(n);
    while (count > 0 && left >= next->iov_len) {
      left -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + left;
      next->iov_len -= left;
    }
  }
}

}  // namespace moxtile
