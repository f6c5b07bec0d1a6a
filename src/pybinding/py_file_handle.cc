#include "pybinding/py_file_handle.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/panic.h"
#include "base/poisonable_mutex.h"
#include "base/write_all.h"
#include "pybinding/results.h"
#include "pybinding/whence.h"

namespace moxtile::py {
namespace {

using HandleCell = PoisonableMutex<FileHandle>;
using HandleObject = Instance<HandleCell>;

constexpr const char kClassDoc[] =
    "\nA simple wrapper around the FileHandle struct.\n\nThis class is a simple wrapper around "
    "the FileHandle struct. It defines\nthe basis for a file handle that can be used in Python. "
    "The file handle\ncan be used to read and write data to a file.\n\nA file handle is always "
    "associated with a filesystem and an inode. The\nfile handle can be used to read and write "
    "data to the file.\n";

constexpr const char kIdDoc[] =
    "id($self)\n--\n\n\nReturns a string representation of the file handle.\n";
constexpr const char kCloseDoc[] =
    "close($self)\n--\n\n\nClose the file handle.\n\nNotice that the pyobject still holds a "
    "reference to the file handle. However\nany subsequent read or write operation will "
    "fail.\n\nSmall Note on garbage collection: The file handle will internally be "
    "closed\nHOWEVER it will still keep the file system and inode alive. Until the file\nhandle "
    "is dropped.\n";
constexpr const char kReadDoc[] =
    "read($self, buffer)\n--\n\n\nRead data from the file handle.\n\nThis function reads data "
    "from the file handle. The function will return a\nbyte array with the data that was read "
    "from the file. The function will\nreturn an error if the read operation failed.\n";
constexpr const char kWriteDoc[] =
    "write($self, buffer)\n--\n\n\nWrite data to the file handle.\n\nThis function writes data "
    "to the file handle. The function will return the\nnumber of bytes that were written to the "
    "file. The function will return an\nerror if the write operation failed.\n";
constexpr const char kSeekDoc[] =
    "seek($self, offset, whence)\n--\n\n\nSeek a certain position in the file.\n\nThis function "
    "seeks a certain position in the file. The function will return\nthe new position in the "
    "file. The function will return an error if the seek\noperation failed.\n";
constexpr const char kTellDoc[] =
    "tell($self)\n--\n\n\nTell the current position in the file.\n\nThis function returns the "
    "current position in the file. The function will\nreturn an error if the tell operation "
    "failed.\n";

// Writes "Read <count> bytes from file\n" straight to file descriptor 1,
// usually with one system call. A failure to write is not the read's failure
// and is ignored.
void write_read_notice(std::size_t count) noexcept {
  constexpr std::string_view kHead = "Read ";
  constexpr std::string_view kTail = " bytes from file\n";
  constexpr std::size_t kMaxDigits = 20;  // of a 64-bit count
  char line[kHead.size() + kMaxDigits + kTail.size()];
  char* end = std::copy(kHead.begin(), kHead.end(), line);
  end = std::to_chars(end, end + kMaxDigits, count).ptr;
  end = std::copy(kTail.begin(), kTail.end(), end);
  (void)write_all(STDOUT_FILENO, std::string_view(line, static_cast<std::size_t>(end - line)));
}

PyObject* handle_id_impl(HandleCell& cell) {
  const std::optional<InodeId> id = cell.with_lock([](FileHandle& h) { return h.id(); });
  if (!id) return raise_io_error(IoErrorKind::InvalidFileDescriptor);
  return new_int(*id);
}

PyObject* handle_close_impl(HandleCell& cell) {
  return none_or_raise(cell.with_lock([](FileHandle& h) { return h.close(); }));
}

constinit Signature g_read_signature{"PyFileHandle", "read", {"buffer"}, 1};

PyObject* handle_read_impl(HandleCell& cell, const Args& a) {
  std::uint64_t size = 0;
  if (!a.u64(0, size)) return nullptr;
  // Made once the count is known, so a large `size` on a small file costs
  // only what is there.
  PyRef bytes;
  const IoResult<std::optional<std::size_t>> count = cell.with_lock([&](FileHandle& h) {
    IoResult<std::optional<std::size_t>> read =
        h.read_placed(size, [&](std::size_t n) -> std::uint8_t* {
          bytes = new_bytes_of_size(n);
          return bytes ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())) : nullptr;
        });
    if (read && *read) write_read_notice(**read);
    return read;
  });
  if (!count) return raise_io_error(count.error());
  if (!*count) return nullptr;  // no bytes object could be made: MemoryError is set
  return bytes.release();
}

constinit Signature g_write_signature{"PyFileHandle", "write", {"buffer"}, 1};

PyObject* handle_write_impl(HandleCell& cell, const Args& a) {
  std::span<const std::uint8_t> data;
  if (!a.bytes(0, data)) return nullptr;
  const IoResult<std::size_t> written =
      cell.with_lock([&](FileHandle& h) { return h.write(data); });
  if (!written) return raise_io_error(written.error());
  return new_int(*written);
}

constinit Signature g_seek_signature{"PyFileHandle", "seek", {"offset", "whence"}, 2};

PyObject* handle_seek_impl(HandleCell& cell, const Args& a) {
  std::uint64_t offset = 0;
  SeekOrigin origin = SeekOrigin::Start;
  if (!a.u64(0, offset) || !whence_from_arg(a, 1, origin)) return nullptr;
  return none_or_raise(cell.with_lock([&](FileHandle& h) { return h.seek(origin, offset); }));
}

PyObject* handle_tell_impl(HandleCell& cell) {
  const std::optional<std::uint64_t> offset = cell.with_lock([](FileHandle& h) {
    return h.is_open() ? std::optional<std::uint64_t>(h.offset()) : std::nullopt;
  });
  if (!offset) return raise_io_error(IoErrorKind::InvalidFileDescriptor);
  return new_int(*offset);
}

PyObject* handle_str_impl(HandleCell& cell) {
  const std::string text = cell.with_lock([](FileHandle& h) { return h.debug_string(); });
  return new_str(text);
}

// Closes a handle that is still open before it is destroyed; a failure of
// that close goes to the unraisable hook as a PanicException.
void handle_dealloc(PyObject* self) noexcept {
  close_then_destroy<FileHandle>(self, "unknown internal error while closing a file handle",
                                 [](FileHandle& h) -> std::string {
                                   if (!h.is_open()) return {};
                                   const IoStatus closed = h.close();
                                   return closed ? std::string() : closed.error().message();
                                 });
}

PyMethodDef g_methods[] = {
    method_without_args("id", noargs_method<HandleCell, handle_id_impl>, kIdDoc),
    method_without_args("close", noargs_method<HandleCell, handle_close_impl>, kCloseDoc),
    method_with_args("read", fastcall_method<HandleCell, g_read_signature, handle_read_impl>,
                     kReadDoc),
    method_with_args("write", fastcall_method<HandleCell, g_write_signature, handle_write_impl>,
                     kWriteDoc),
    method_with_args("seek", fastcall_method<HandleCell, g_seek_signature, handle_seek_impl>,
                     kSeekDoc),
    method_without_args("tell", noargs_method<HandleCell, handle_tell_impl>, kTellDoc),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

const PyType_Slot g_slots[] = {
    {Py_tp_str, reinterpret_cast<void*>(&unary_slot<HandleCell, handle_str_impl>)},
};

}  // namespace

PyClass& py_file_handle_class() {
  static PyClass instance(ClassSpec{
      .name = "PyFileHandle",
      .qualified_name = "moxtile.PyFileHandle",
      .doc = kClassDoc,
      .basicsize = sizeof(HandleObject),
      .dealloc = &handle_dealloc,
      .methods = g_methods,
      .extra_slots = g_slots,
  });
  return instance;
}

PyObject* new_py_file_handle(PyTypeObject* type, FileHandle&& handle) {
  return new_instance<HandleCell>(type, std::move(handle));
}

}  // namespace moxtile::py
