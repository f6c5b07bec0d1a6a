// PoolResult<T>: a value or the error text the caller sees; SysResult<T>: a
// value or the errno of a failed system call.
#pragma once

#include <string>

#include "base/expected.h"

namespace moxtile {

// An ordinary failure of the pool or a session: the message the caller sees.
template <class T>
using PoolResult = Expected<T, std::string>;

// A failed system call: the errno it left.
template <class T>
using SysResult = Expected<T, int>;

inline Unexpected<std::string> pool_error(std::string message) { return {std::move(message)}; }
inline Unexpected<int> sys_error(int err) { return {err}; }

}  // namespace moxtile
