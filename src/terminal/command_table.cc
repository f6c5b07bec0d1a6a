#include "terminal/command_table.h"

#include <iterator>

namespace moxtile {
namespace {

struct NamedHandler {
  std::string_view name;
  CommandHandler handler;
};

// This order does not carry over: help lists the hash map's order (see the header).
constexpr NamedHandler kHandlers[] = {
    {"cd", &cmd_cd},     {"ls", &cmd_ls},       {"pwd", &cmd_pwd},
    {"cat", &cmd_cat},   {"mkdir", &cmd_mkdir}, {"touch", &cmd_touch},
    {"help", &cmd_help}, {"rm", &cmd_rm},       {"echo", &cmd_echo},
};

CommandTable build_command_table() {
  CommandTable table;
  table.reserve(std::size(kHandlers));
  for (const NamedHandler& entry : kHandlers) table.emplace(entry.name, entry.handler);
  return table;
}

}  // namespace

const CommandTable& command_table() {
  static const CommandTable table = build_command_table();
  return table;
}

}  // namespace moxtile
