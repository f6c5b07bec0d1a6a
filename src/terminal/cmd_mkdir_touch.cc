// mkdir and touch: one algorithm, differing in the node made and the texts.
#include <string>
#include <string_view>

#include "terminal/commands.h"

namespace moxtile {
namespace {

struct CreateCommand {
  std::string_view name;     // "mkdir" / "touch"
  std::string_view noun;     // in "cannot create <noun> '<arg>'"
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
  const std::size_t separator = arg.find_last_of("/\\");
  InodeId parent = context.cwd;
  std::string_view name = arg;
  if (separator != std::string::npos) {
    name = std::string_view(arg).substr(separator + 1);
    if (separator == 0) {
      // A leading backslash is no root marker for the terminal.
      parent = arg.front() == '/' ? kRootId : context.cwd;
    } else {
      TermResult<InodeId> found =
          context.get_target_inode(std::string_view(arg).substr(0, separator));
      if (!found) return TermError{std::move(found).error()};
      parent = found.value();
    }
  }

  const IoResult<bool> is_directory = context.fs->is_directory_raw(parent);
  if (!is_directory) {
    return TermError{prefixed(command) + "cannot access '" + std::to_string(parent) +
                     "': " + is_directory.error().message()};
  }
  if (!*is_directory) {
    return TermError{prefixed(command) + std::to_string(parent) + ": Not a directory"};
  }

  const IoResult<InodeId> created = context.fs->create_inode(parent, name, command.type);
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
