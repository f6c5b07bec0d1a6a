#include "terminal/command_errors.h"

#include <string>

namespace moxtile {

TermError cannot_access(std::string_view command, std::string_view what, std::string_view reason) {
  std::string text(command);
  text += ": cannot access '";
  text += what;
  text += "': ";
  text += reason;
  return TermError{std::move(text)};
}

TermError cannot_access(std::string_view command, std::string_view what, IoError error) {
  return cannot_access(command, what, error.message());
}

TermError cannot_access(std::string_view command, InodeId id, IoError error) {
  return cannot_access(command, std::to_string(id), error.message());
}

TermError not_a_directory(std::string_view command, std::string_view what) {
  std::string text(command);
  text += ": ";
  text += what;
  text += ": Not a directory";
  return TermError{std::move(text)};
}

TermError not_a_directory(std::string_view command, InodeId id) {
  return not_a_directory(command, std::to_string(id));
}

}  // namespace moxtile
