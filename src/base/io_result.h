// IoResult<T>: a value or one IoError. IoStatus (= IoResult<void>): success or one IoError.
//
// An Expected whose error converts implicitly, so the filesystem writes
// `return IoErrorKind::NotADirectory;`. Callers write `if (!r) return r.error();`.
#pragma once

#include "base/expected.h"
#include "base/io_error.h"

namespace moxtile {

template <class T>
class [[nodiscard]] IoResult : public Expected<T, IoError> {
  using Base = Expected<T, IoError>;

 public:
  using Base::Base;
  IoResult(IoError error) : Base(Unexpected<IoError>{error}) {}    // NOLINT: implicit
  IoResult(IoErrorKind kind) : Base(Unexpected<IoError>{kind}) {}  // NOLINT: implicit
};

using IoStatus = IoResult<void>;

}  // namespace moxtile
