// The built-in commands: one CommandHandler per name of the command table.
//
// A handler gets the terminal's context and the words after the command word
// (the command word itself is not passed) and returns an output text or an
// error text. Handlers keep no state of their own; they run under the caller's
// exclusive access to the context and call the thread-safe filesystem one
// operation at a time, so a concurrent change between a check and the action
// after it shows up as the action's error.
//
// Output conventions: ls and help end every line with "\n"; pwd, cat and echo
// add no newline; cd, mkdir, touch and rm answer "" on success. echo uses all
// its words and rm hands all of them to its option parser; the others use at
// most the first and ignore the rest.
#pragma once

#include <span>
#include <string>

#include "terminal/term_result.h"
#include "terminal/terminal_context.h"

namespace moxtile {

using CommandHandler = TermResult<std::string> (*)(TerminalContext& context,
                                                   std::span<const std::string> args);

TermResult<std::string> cmd_cd(TerminalContext& context, std::span<const std::string> args);
TermResult<std::string> cmd_ls(TerminalContext& context, std::span<const std::string> args);
TermResult<std::string> cmd_pwd(TerminalContext& context, std::span<const std::string> args);
TermResult<std::string> cmd_cat(TerminalContext& context, std::span<const std::string> args);
TermResult<std::string> cmd_mkdir(TerminalContext& context, std::span<const std::string> args);
TermResult<std::string> cmd_touch(TerminalContext& context, std::span<const std::string> args);
TermResult<std::string> cmd_help(TerminalContext& context, std::span<const std::string> args);
TermResult<std::string> cmd_rm(TerminalContext& context, std::span<const std::string> args);
TermResult<std::string> cmd_echo(TerminalContext& context, std::span<const std::string> args);

}  // namespace moxtile
