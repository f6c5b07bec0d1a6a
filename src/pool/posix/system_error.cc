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

namespace moxtile {

std::string system_error_text(const SysError& error) {
  if (error.step == nullptr) return system_error_text(error.err);
  return std::string("Failed to ") + error.step + ": " + system_error_text(error.err);
}

}  // namespace moxtile
