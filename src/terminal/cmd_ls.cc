#include <string>

#include "terminal/command_errors.h"
#include "terminal/commands.h"

namespace moxtile {

TermResult<std::string> cmd_ls(TerminalContext& context, std::span<const std::string> args) {
  InodeId target = context.cwd;
  if (!args.empty()) {
    TermResult<InodeId> found = context.get_target_inode(args.front());
    if (!found) return TermError{std::move(found).error()};
    target = found.value();
  }

  // Errors past the lookup name the inode id, not the argument text.
  const IoResult<bool> is_directory = context.fs->is_directory_raw(target);
  if (!is_directory) return cannot_access("ls", target, is_directory.error());
  if (!*is_directory) return not_a_directory("ls", target);

  const IoResult<Listing> listing = context.fs->ls_raw(target);
  if (!listing) return cannot_access("ls", target, listing.error());

  std::size_t size = 0;
  for (const std::string& name : listing->files) size += name.size() + 1;
  for (const std::string& name : listing->directories) size += name.size() + 2;
  std::string out;
  out.reserve(size);
  for (const std::string& name : listing->files) {
    out += name;
    out += '\n';
  }
  for (const std::string& name : listing->directories) {
    out += name;
    out += "/\n";
  }
  return out;
}

}  // namespace moxtile
