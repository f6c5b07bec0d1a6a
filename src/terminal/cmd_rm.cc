#include <string>

#include "terminal/commands.h"
#include "terminal/rm_args.h"

namespace moxtile {

TermResult<std::string> cmd_rm(TerminalContext& context, std::span<const std::string> args) {
  if (args.empty()) return TermError{"rm: missing argument"};

  // Help and version come back as error texts too: rm only answers "" on success.
  TermResult<RmArgs> parsed = parse_rm_args(args);
  if (!parsed) return TermError{"rm: " + parsed.error()};
  const RmArgs& rm_args = parsed.value();

  TermResult<InodeId> target = context.get_target_inode(rm_args.target);
  if (!target) return TermError{std::move(target).error()};

  const IoStatus removed = context.fs->rm_raw(target.value(), rm_args.recursive);
  if (!removed) {
    return TermError{"rm: cannot remove '" + rm_args.target + "': " + removed.error().message()};
  }
  return std::string();
}

}  // namespace moxtile
