#include "fs/file_handle_type.h"

#include <charconv>

namespace moxtile {

IoResult<FileHandleType> FileHandleType::from_str(std::string_view mode) {
  std::uint32_t bits = kEmpty;
  for (char c : mode) {
    std::uint32_t flag = c == 'r' ? kRead : c == 'w' ? kWrite : kEmpty;
    if (flag == kEmpty || (bits & flag) != 0) return IoErrorKind::UnrecognizedFileMode;
    bits |= flag;
  }
  return FileHandleType(bits);
}

void FileHandleType::append_debug(std::string& out) const {
  out += "FileHandleType(";
  std::uint32_t rest = bits_;
  bool first = true;
  auto add = [&](std::string_view text) {
    if (!first) out += " | ";
    first = false;
    out += text;
  };
  if ((rest & kRead) != 0) add("READ");
  if ((rest & kWrite) != 0) add("WRITE");
  rest &= ~(kRead | kWrite);
  if (rest != 0 || bits_ == kEmpty) {
    char buf[16];
    auto end = std::to_chars(buf, buf + sizeof(buf), rest, 16).ptr;
    std::string hex = "0x";
    hex.append(buf, end);
    add(hex);
  }
  out += ')';
}

}  // namespace moxtile
