// Terminal: runs one command line at a time and answers with an output text
// or an error text (the error text plays the part of standard error).
//
// Thread safety: implementations are not synchronised; run() must have the
// terminal to itself. The owner serialises calls.
#pragma once

#include <string>
#include <string_view>

#include "terminal/term_result.h"

namespace moxtile {

class Terminal {
 public:
  virtual ~Terminal() = default;

  // Exactly one of output and error comes back; newlines are passed through
  // untouched.
  virtual TermResult<std::string> run(std::string_view line) = 0;

 protected:
  Terminal() = default;
  Terminal(const Terminal&) = default;
  Terminal& operator=(const Terminal&) = default;
};

}  // namespace moxtile
