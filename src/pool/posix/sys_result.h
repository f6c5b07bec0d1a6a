// SysResult<T>: a value or the SysError of the system call that failed. The
// one error currency of the POSIX layer; text for users is built from it once,
// where the account layer reports the failure (system_error.h).
#pragma once

#include "base/expected.h"

namespace moxtile {

struct SysError {
  int err = 0;                 // the errno the call left
  const char* step = nullptr;  // static text naming what failed, e.g. "mount a private /tmp"
};

template <class T>
using SysResult = Expected<T, SysError>;

inline Unexpected<SysError> sys_error(int err, const char* step = nullptr) {
  return {SysError{err, step}};
}
inline Unexpected<SysError> sys_error(SysError e) { return {e}; }

}  // namespace moxtile
