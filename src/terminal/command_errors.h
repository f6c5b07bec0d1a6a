// The error texts that several commands share, so that every command words
// them the same way. Pure functions, safe from any thread.
#pragma once

#include <string_view>

#include "base/io_error.h"
#include "fs/inode_types.h"
#include "terminal/term_result.h"

namespace moxtile {

// "<command>: cannot access '<what>': <reason>". `what` is the argument as
// given, or an inode id once the argument has been looked up.
TermError cannot_access(std::string_view command, std::string_view what, std::string_view reason);
TermError cannot_access(std::string_view command, std::string_view what, IoError error);
TermError cannot_access(std::string_view command, InodeId id, IoError error);

// "<command>: <what>: Not a directory", `what` as for cannot_access.
TermError not_a_directory(std::string_view command, std::string_view what);
TermError not_a_directory(std::string_view command, InodeId id);

}  // namespace moxtile
