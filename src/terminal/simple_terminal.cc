#include "terminal/simple_terminal.h"

#include <span>
#include <utility>
#include <vector>

#include "terminal/command_table.h"
#include "terminal/word_splitter.h"

namespace moxtile {

SimpleTerminal::SimpleTerminal(std::shared_ptr<FileSystem> fs) noexcept
    : context_{std::move(fs), kRootId} {}

TermResult<std::string> SimpleTerminal::run(std::string_view line) {
  std::optional<std::vector<std::string>> words = split_words(line);
  if (!words) return TermError{"The command was not correctly formatted"};
  if (words->empty()) return std::string();

  const CommandTable& table = command_table();
  const std::string& name = words->front();
  const auto entry = table.find(name);
  if (entry == table.end()) return TermError{name + ": command not found"};
  return entry->second(context_, std::span<const std::string>(*words).subspan(1));
}

}  // namespace moxtile
