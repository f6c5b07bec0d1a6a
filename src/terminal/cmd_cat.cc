#include <cstdint>
#include <span>
#include <string>

#include "base/utf8_lossy.h"
#include "fs/file_handle.h"
#include "terminal/command_errors.h"
#include "terminal/commands.h"

namespace moxtile {
namespace {

// Steps on an open handle; the caller closes it whatever happens here.
TermResult<std::string> read_whole_file(FileHandle& handle, const std::string& arg) {
  if (IoStatus s = handle.seek(SeekOrigin::End, 0); !s) return cannot_access("cat", arg, s.error());
  const std::uint64_t size = handle.offset();
  if (IoStatus s = handle.seek(SeekOrigin::Start, 0); !s) {
    return cannot_access("cat", arg, s.error());
  }

  std::string bytes(static_cast<std::size_t>(size), '\0');
  const IoResult<std::size_t> count = handle.read(
      std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()));
  if (!count) return cannot_access("cat", arg, count.error());
  // The read lock keeps writers out, so the count is the size; trimming to it
  // only guards against ever showing bytes that were not read.
  bytes.resize(*count);
  return utf8_lossy(std::move(bytes));
}

}  // namespace

TermResult<std::string> cmd_cat(TerminalContext& context, std::span<const std::string> args) {
  if (args.empty()) return TermError{"cat: missing argument"};
  const std::string& arg = args.front();

  TermResult<InodeId> target = context.get_target_inode(arg);
  if (!target) return TermError{std::move(target).error()};

  const IoResult<bool> is_file = context.fs->is_file_raw(target.value());
  if (!is_file) return cannot_access("cat", arg, is_file.error());
  if (!*is_file) return TermError{"cat: " + arg + ": Is a directory"};

  IoResult<FileHandle> handle =
      open_raw(context.fs, target.value(), FileHandleType(FileHandleType::kRead));
  if (!handle) return cannot_access("cat", arg, handle.error());

  TermResult<std::string> result = read_whole_file(*handle, arg);
  // Close explicitly so the read lock is gone before we answer; a failed close
  // only matters when nothing else failed first.
  const IoStatus closed = handle->close();
  if (result && !closed) return cannot_access("cat", arg, closed.error());
  return result;
}

}  // namespace moxtile
