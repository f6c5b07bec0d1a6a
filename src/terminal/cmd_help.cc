#include <string>

#include "terminal/command_table.h"
#include "terminal/commands.h"

namespace moxtile {

TermResult<std::string> cmd_help(TerminalContext& /*context*/,
                                 std::span<const std::string> /*args*/) {
  std::string out;
  for (const auto& entry : command_table()) {
    out += entry.first;
    out += '\n';
  }
  return out;
}

}  // namespace moxtile
