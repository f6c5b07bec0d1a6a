#include "terminal/terminal_context.h"

#include <string>

namespace moxtile {

TermResult<InodeId> TerminalContext::get_target_inode(std::string_view path) const {
  InodeId start = cwd;
  if (!path.empty() && path.front() == '/') {
    start = kRootId;
    path.remove_prefix(1);
  }
  IoResult<InodeId> found = fs->find_inode_by_name(start, path);
  if (found) return *found;
  std::string text(path);
  text += ": ";
  found.error().append_message(text);
  return TermError{std::move(text)};
}

}  // namespace moxtile
