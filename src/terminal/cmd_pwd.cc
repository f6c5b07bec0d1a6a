#include <string>

#include "terminal/commands.h"

namespace moxtile {

TermResult<std::string> cmd_pwd(TerminalContext& context, std::span<const std::string> /*args*/) {
  IoResult<std::string> path = context.fs->get_path_by_inode(context.cwd);
  if (!path) {
    // The current directory was removed (by another terminal, say).
    return TermError{"pwd: cannot access '" + std::to_string(context.cwd) +
                     "': " + path.error().message()};
  }
  return std::move(path).value();
}

}  // namespace moxtile
