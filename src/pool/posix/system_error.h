// The text of an operating-system error as users see it in the pool's messages:
// "<message for the number> (os error <n>)". Thread-safe.
#pragma once

#include <string>

namespace moxtile {

// E.g. system_error_text(ENOENT) == "No such file or directory (os error 2)".
std::string system_error_text(int err);

}  // namespace moxtile
