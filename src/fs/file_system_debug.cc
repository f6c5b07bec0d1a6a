// The one-line structure rendering of a whole filesystem.
#include "base/debug_text.h"
#include "fs/file_system.h"

namespace moxtile {

void FileSystem::append_debug(std::string& out) const {
  out += "FileSystem { inodes: {";
  bool first = true;
  inodes_.for_each([&](const NodeRef& node) {
    if (!first) out += ", ";
    first = false;
    append_decimal(out, node->id());
    out += ": ";
    node->append_debug(out);
  });
  out += "}, next_inode_id: ";
  append_decimal(out, next_inode_id());
  out += " }";
}

std::string FileSystem::debug_string() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace moxtile
