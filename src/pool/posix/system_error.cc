#include "pool/posix/system_error.h"

#include <string.h>

namespace moxtile {

std::string system_error_text(int err) {
  char buf[256];
  // GNU strerror_r: returns the message, which may or may not live in `buf`.
  const char* message = ::strerror_r(err, buf, sizeof buf);
  std::string text(message);
  text += " (os error ";
  text += std::to_string(err);
  text += ')';
  return text;
}

}  // namespace moxtile
