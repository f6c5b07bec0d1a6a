#include <string>

#include "terminal/command_errors.h"
#include "terminal/commands.h"

namespace moxtile {

TermResult<std::string> cmd_pwd(TerminalContext& context, std::span<const std::string> /*args*/) {
  IoResult<std::string> path = context.fs->get_path_by_inode(context.cwd);
  // Fails once the current directory was removed (by another terminal, say).
  if (!path) return cannot_access("pwd", context.cwd, path.error());
  return std::move(path).value();
}

}  // namespace moxtile
