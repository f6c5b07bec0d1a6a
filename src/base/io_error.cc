#include "base/io_error.h"

#include "base/debug_text.h"

namespace moxtile {
namespace {

struct KindText {
  std::string_view name;
  std::string_view message;
};

// Indexed by IoErrorKind.
constexpr KindText kTexts[] = {
    {"InodeNotFound", "Inode not found"},
    {"NotADirectory", "The specified INode is not a directory"},
    {"NotAFile", "The specified INode is not a file"},
    {"NotASymlink", "The specified INode is not a symlink"},
    {"MaxRecursionDepthExceeded", "Maximum filesystem depth exceeded"},
    {"ResourceAlreadyExists", "Resource already exists"},
    {"DirectoryIsNotEmpty", "Directory is not empty"},
    {"ResourceCurrentInUse", "Resource is currently in use"},
    {"UnrecognizedFileMode", "Unrecognized file mode"},
    {"OperationNotSupported", "File does not support the specified operation: "},
    {"InvalidFileDescriptor", "Invalid file descriptor"},
};
static_assert(std::size(kTexts) == static_cast<std::size_t>(IoErrorKind::InvalidFileDescriptor) + 1);

const KindText& texts(IoErrorKind kind) { return kTexts[static_cast<std::size_t>(kind)]; }

}  // namespace

void IoError::append_message(std::string& out) const {
  out += texts(kind_).message;
  if (kind_ == IoErrorKind::OperationNotSupported && operation_ != nullptr) out += operation_;
}

std::string IoError::message() const {
  std::string out;
  append_message(out);
  return out;
}

std::string IoError::debug() const {
  std::string out(texts(kind_).name);
  if (kind_ == IoErrorKind::OperationNotSupported) {
    out += '(';
    append_quoted(out, operation_ != nullptr ? operation_ : "");
    out += ')';
  }
  return out;
}

}  // namespace moxtile
