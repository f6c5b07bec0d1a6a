// PoolResult<T>: a value or the error text the caller sees.
#pragma once

#include <string>

#include "base/expected.h"
#include "pool/posix/sys_result.h"

namespace moxtile {

// An ordinary failure of the pool or a session: the message the caller sees.
template <class T>
using PoolResult = Expected<T, std::string>;

inline Unexpected<std::string> pool_error(std::string message) { return {std::move(message)}; }

}  // namespace moxtile
