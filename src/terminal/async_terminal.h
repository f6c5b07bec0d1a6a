// AsyncTerminal: a terminal driven as byte streams (input, standard output,
// standard error), such as a real shell session.
//
// Thread safety: implementations are not synchronised; every operation needs
// the terminal to itself. The owner serialises calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "terminal/term_result.h"

namespace moxtile {

class AsyncTerminal {
 public:
  virtual ~AsyncTerminal() = default;

  // Hands all of `data` to the session's input.
  virtual TermResult<void> write(std::span<const std::uint8_t> data) = 0;
  // One read from standard output into the start of `buffer`; returns how many
  // bytes were placed (at most buffer.size()).
  virtual TermResult<std::size_t> read_stdout(std::span<std::uint8_t> buffer) = 0;
  // The same for standard error.
  virtual TermResult<std::size_t> read_stderr(std::span<std::uint8_t> buffer) = 0;

 protected:
  AsyncTerminal() = default;
  AsyncTerminal(const AsyncTerminal&) = default;
  AsyncTerminal& operator=(const AsyncTerminal&) = default;
};

}  // namespace moxtile
