// command_table(): the process-wide table from command name to handler.
//
// Built once, on first use, under the language's thread-safe initialisation of
// a function-local static (concurrent first callers wait for the builder);
// afterwards it is only read, without locking. Iteration order is the hash
// map's and promises nothing.
#pragma once

#include <string_view>
#include <unordered_map>

#include "terminal/commands.h"

namespace moxtile {

// Keys view string literals, so they live as long as the table.
using CommandTable = std::unordered_map<std::string_view, CommandHandler>;

const CommandTable& command_table();

}  // namespace moxtile
