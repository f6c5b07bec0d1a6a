#include <string>

#include "terminal/command_errors.h"
#include "terminal/commands.h"

namespace moxtile {

TermResult<std::string> cmd_cd(TerminalContext& context, std::span<const std::string> args) {
  if (args.empty()) return TermError{"cd: missing argument"};
  const std::string& arg = args.front();

  TermResult<InodeId> target = context.get_target_inode(arg);
  if (!target) return cannot_access("cd", arg, target.error());

  const IoResult<bool> is_directory = context.fs->is_directory_raw(target.value());
  if (!is_directory) return cannot_access("cd", arg, is_directory.error());
  if (!*is_directory) return not_a_directory("cd", arg);

  context.cwd = target.value();
  return std::string();
}

}  // namespace moxtile
