#include <string>

#include "terminal/commands.h"

namespace moxtile {

TermResult<std::string> cmd_echo(TerminalContext& /*context*/, std::span<const std::string> args) {
  std::string out;
  if (args.empty()) return out;
  std::size_t size = args.size() - 1;
  for (const std::string& word : args) size += word.size();
  out.reserve(size);
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i != 0) out += ' ';
    out += args[i];
  }
  return out;
}

}  // namespace moxtile
