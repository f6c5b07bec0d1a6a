// SysResult<T>: a value or the errno of the failed system call. The one error
// currency of the POSIX layer; text for users is built from it once, where the
// account layer reports the failure.
#pragma once

#include "base/expected.h"

namespace moxtile {

template <class T>
using SysResult = Expected<T, int>;

inline Unexpected<int> sys_error(int err) { return {err}; }

}  // namespace moxtile
