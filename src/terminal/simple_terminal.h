// SimpleTerminal: the built-in interpreter. Splits a line into words, looks the
// first one up in the command table and runs its handler on this terminal's context.
//
// Thread safety: not synchronised; run() must have the terminal to itself.
// Several terminals may share one filesystem and run at the same time.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "fs/file_system.h"
#include "terminal/term_result.h"
#include "terminal/terminal.h"
#include "terminal/terminal_context.h"

namespace moxtile {

class SimpleTerminal final : public Terminal {
 public:
  // Current directory: the root.
  explicit SimpleTerminal(std::shared_ptr<FileSystem> fs) noexcept;
  SimpleTerminal(const SimpleTerminal&) = delete;
  SimpleTerminal& operator=(const SimpleTerminal&) = delete;

  TermResult<std::string> run(std::string_view line) override;

 private:
  TerminalContext context_;
};

}  // namespace moxtile
