// The text of an operating-system error as users see it in the pool's messages:
// "<message for the number> (os error <n>)". Thread-safe.
#pragma once

#include <string>

#include "pool/posix/sys_result.h"

namespace moxtile {

// E.g. system_error_text(ENOENT) == "No such file or directory (os error 2)".
std::string system_error_text(int err);

// The same, after "Failed to <step>: " when the error names its step.
std::string system_error_text(const SysError& error);

}  // namespace moxtile
