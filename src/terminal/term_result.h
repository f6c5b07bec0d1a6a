// TermResult<T>: a value or one error text. TermError: the error text itself.
//
// The terminal reports every ordinary failure as text ("cd: missing argument");
// nothing here throws for one. The error is wrapped in TermError so that a
// TermResult<std::string> can tell an output text from an error text.
#pragma once

#include <string>

#include "base/expected.h"

namespace moxtile {

using TermError = Unexpected<std::string>;

template <class T>
using TermResult = Expected<T, std::string>;

}  // namespace moxtile
