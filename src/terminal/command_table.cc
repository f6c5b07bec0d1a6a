#include "terminal/command_table.h"

namespace moxtile {
namespace {

CommandTable build_command_table() {
  CommandTable table;
  table.reserve(9);
  table.emplace("cd", &cmd_cd);
  table.emplace("ls", &cmd_ls);
  table.emplace("pwd", &cmd_pwd);
  table.emplace("cat", &cmd_cat);
  table.emplace("mkdir", &cmd_mkdir);
  table.emplace("touch", &cmd_touch);
  table.emplace("help", &cmd_help);
  table.emplace("rm", &cmd_rm);
  table.emplace("echo", &cmd_echo);
  return table;
}

}  // namespace

const CommandTable& COMMANDS() {
  static const CommandTable table = build_command_table();
  return table;
}

}  // namespace moxtile
