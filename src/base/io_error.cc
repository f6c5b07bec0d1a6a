#include "base/io_error.h"

#include <iterator>

namespace moxtile {
namespace {

// Indexed by IoErrorKind.
constexpr std::string_view kMessages[] = {
    "Inode not found",
    "The specified INode is not a directory",
    "The specified INode is not a file",
    "The specified INode is not a symlink",
    "Maximum filesystem depth exceeded",
    "Resource already exists",
    "Directory is not empty",
    "Resource is currently in use",
    "Unrecognized file mode",
    "File does not support the specified operation: ",
    "Invalid file descriptor",
};
static_assert(std::size(kMessages) ==
              static_cast<std::size_t>(IoErrorKind::InvalidFileDescriptor) + 1);

}  // namespace

void IoError::append_message(std::string& out) const {
  out += kMessages[static_cast<std::size_t>(kind_)];
  if (kind_ == IoErrorKind::OperationNotSupported && operation_ != nullptr) out += operation_;
}

std::string IoError::message() const {
  std::string out;
  append_message(out);
  return out;
}

}  // namespace moxtile
