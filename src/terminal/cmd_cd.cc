#include <string>

#include "terminal/commands.h"

namespace moxtile {

TermResult<std::string> cmd_cd(TerminalContext& context, std::span<const std::string> args) {
  if (args.empty()) return TermError{"cd: missing argument"};
  const std::string& arg = args.front();

  TermResult<InodeId> target = context.get_target_inode(arg);
  if (!target) return TermError{"cd: cannot access '" + arg + "': " + target.error()};

  const IoResult<bool> is_directory = context.fs->is_directory_raw(target.value());
  if (!is_directory) {
    return TermError{"cd: cannot access '" + arg + "': " + is_directory.error().message()};
  }
  if (!*is_directory) return TermError{"cd: " + arg + ": Not a directory"};

  context.cwd = target.value();
  return std::string();
}

}  // namespace moxtile
