// mkdir and touch: one algorithm, differing in the node made and the texts.
#include <string>
#include <string_view>

#include "fs/path_split.h"
#include "terminal/command_errors.h"
#include "terminal/commands.h"

namespace moxtile {
namespace {

struct CreateCommand {
  std::string_view name;  // "mkdir" / "touch"
  std::string_view noun;  // in "cannot create <noun> '<arg>'"
  NodeType type;
};

constexpr CreateCommand kMkdir{"mkdir", "directory", NodeType::Directory};
constexpr CreateCommand kTouch{"touch", "file", NodeType::File};

std::string prefixed(const CreateCommand& command) {
  std::string text(command.name);
  text += ": ";
  return text;
}

TermResult<std::string> create_node(const CreateCommand& command, TerminalContext& context,
                                    std::span<const std::string> args) {
  if (args.empty()) return TermError{prefixed(command) + "missing argument"};
  const std::string& arg = args.front();

  // Both separators count; the new name is whatever follows the last one and
  // may be empty (create_inode refuses it then).
  const PathSplit split = split_path(arg);
  InodeId parent = context.cwd;
  if (!split.parent.empty()) {
    TermResult<InodeId> found = context.get_target_inode(split.parent);
    if (!found) return TermError{std::move(found).error()};
    parent = found.value();
  } else if (arg.starts_with('/')) {
    parent = kRootId;  // a leading backslash is no root marker for the terminal
  }

  const IoResult<bool> is_directory = context.fs->is_directory_raw(parent);
  if (!is_directory) return cannot_access(command.name, parent, is_directory.error());
  if (!*is_directory) return not_a_directory(command.name, parent);

  const IoResult<InodeId> created = context.fs->create_inode(parent, split.name, command.type);
  if (!created) {
    std::string text = prefixed(command) + "cannot create ";
    text += command.noun;
    text += " '" + arg + "': " + created.error().message();
    return TermError{std::move(text)};
  }
  return std::string();
}

}  // namespace

TermResult<std::string> cmd_mkdir(TerminalContext& context, std::span<const std::string> args) {
  return create_node(kMkdir, context, args);
}

TermResult<std::string> cmd_touch(TerminalContext& context, std::span<const std::string> args) {
  return create_node(kTouch, context, args);
}

}  // namespace moxtile
