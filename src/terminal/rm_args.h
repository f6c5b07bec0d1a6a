// RmArgs and its parser: the options and operand of the rm command.
//
// The grammar is small and declared by hand: `-r`/`--recursive` (a flag),
// `-h`/`--help`, `-V`/`--version` and one required operand TARGET. Words are
// taken left to right; short flags may be bundled ("-rh"); `--` ends the
// options. The first error, help or version request met ends the parse.
//
// Text choices (kept the same everywhere):
// - Errors name the whole offending word, also for an unknown letter inside a
//   bundle ("-rx" is reported as '-rx').
// - The usage line is "moxtile [OPTIONS] <TARGET>" for every error except a
//   missing operand, whose usage line lists the flags given (by their long
//   name) followed by "<TARGET>".
// - A lone "-" is an unknown option, like any other word starting with '-'.
//
// Pure functions, safe from any thread.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "terminal/term_result.h"

namespace moxtile {

struct RmArgs {
  bool recursive = false;
  std::string target;
};

// A complete RmArgs, or the parser's text as the error: an error message, the
// help text or the version text (each ends with a newline). The caller adds
// any command prefix.
TermResult<RmArgs> parse_rm_args(std::span<const std::string> words);

// The help text that -h and --help give.
std::string rm_help_text();

}  // namespace moxtile
