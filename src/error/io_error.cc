#include "error/io_error.h"

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

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          out += "\\u{";
          if (static_cast<unsigned char>(c) >= 0x10) out += kHex[static_cast<unsigned char>(c) >> 4];
          out += kHex[static_cast<unsigned char>(c) & 0xf];
          out += '}';
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

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
    append_escaped(out, operation_ != nullptr ? operation_ : "");
    out += ')';
  }
  return out;
}

}  // namespace moxtile
