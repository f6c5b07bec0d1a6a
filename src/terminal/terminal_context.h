// TerminalContext: the state of one terminal, its filesystem and its current
// directory.
//
// Thread safety: not synchronised; it belongs to one terminal, whose owner
// serialises the commands. The filesystem itself is safe to share.
#pragma once

#include <memory>
#include <string_view>

#include "fs/file_system.h"
#include "fs/inode_types.h"
#include "terminal/term_result.h"

namespace moxtile {

struct TerminalContext {
  std::shared_ptr<FileSystem> fs;
  // Changed only by cd. Never re-checked: once its directory is removed,
  // lookups relative to it fail with the filesystem's error.
  InodeId cwd = kRootId;

  // Resolves one path argument: a single leading '/' starts at the root,
  // anything else at cwd, and the rest is looked up as ONE name ("", "." and
  // ".." included; no further slash splitting). Fails with "<name>: <message>",
  // <name> being the text after that leading '/'.
  TermResult<InodeId> get_target_inode(std::string_view path) const;
};

}  // namespace moxtile
