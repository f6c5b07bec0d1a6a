#include "pybinding/py_fs.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fs/file_handle.h"
#include "fs/tree_rendering.h"
#include "pybinding/py_file_handle.h"
#include "pybinding/results.h"

namespace moxtile::py {
namespace {

using FsPtr = std::shared_ptr<FileSystem>;
using FsObject = Instance<FsPtr>;

constexpr const char kClassDoc[] =
    "PyFs()\n--\n\n"
    "\nAn highly simplified binding for a simple filesystem.\n\nThis class is a simple wrapper "
    "around the FileSystem struct. It defines\nthe basis for a small filesystem that can be "
    "used in Python. The filesystem\ncan handle files, nested directories and symlinks.\n\nThe "
    "filesystem is thread-safe and can be shared between multiple threads.\n";

constexpr const char kMkdirDoc[] =
    "mkdir($self, path)\n--\n\n\nCreate a new directory in the filesystem.\n\nThis function "
    "creates a new directory in the filesystem. The function will\nreturn an error if the "
    "directory could not be created.\n";
constexpr const char kTouchDoc[] =
    "touch($self, path)\n--\n\n\nCreate a new file in the filesystem.\n\nThis function creates "
    "a new file in the filesystem. The function will return\nan error if the file could not be "
    "created.\n";
constexpr const char kOpenDoc[] =
    "open($self, path, mode)\n--\n\n\nOpen a file in the filesystem.\n\nThis function opens a "
    "file in the filesystem. The function will return a file\nhandle that can be used to read "
    "and write data to the file. The function will\nreturn an error if the file could not be "
    "opened.\n";
constexpr const char kListdirDoc[] =
    "listdir($self, path)\n--\n\n\nList the contents of a directory.\n\nThis function lists the "
    "contents of a directory. The function will return a\nlist of strings with the names of the "
    "files and directories in the directory.\nThe function will return an error if the "
    "directory could not be listed.\n";
// The text signature names only `recurse`, although `path` and `recurse` are both required.
constexpr const char kRemoveDoc[] =
    "remove(recurse=False)\n--\n\n\nRemove a file from the filesystem.\n";
constexpr const char kStatDoc[] =
    "stat($self, path)\n--\n\n\nWhat a path names, without opening it.\n\nReturns None when "
    "nothing is there (also for a path that runs through a\nfile, like \"/file/x\", or a "
    "file's name followed by a separator), else\n(is_dir, size): size is the file's length in "
    "bytes, 0 for a directory.\nNever raises for a missing path, and answers while a writer "
    "holds the file.\n";
constexpr const char kReadBytesDoc[] =
    "read_bytes($self, path, start=None, end=None)\n--\n\n\nRead a file's bytes in one "
    "call.\n\nReturns the bytes from start (None: 0) up to end (None: the end of the\nfile); "
    "offsets past the end are cut to it. Nothing is created, no handle\nstays open and nothing "
    "is printed. Like opening a read handle, it is\nrefused while a writer holds the file.\n";
constexpr const char kTreeDoc[] =
    "tree($self, path, ident=None)\n--\n\n\nDebug the file system\n\nThis function will return "
    "a debug representation of the filesystem as a string.\n";

PyObject* fs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constinit Signature signature{"PyFs", "__new__", {}, 0};
  return guarded([&]() -> PyObject* {
    Args matched(signature);
    if (!match_tuple(args, kwargs, matched)) return nullptr;
    FsPtr fs = FileSystem::create();
    return new_instance<FsPtr>(type, std::move(fs));
  });
}

constinit Signature g_mkdir_signature{"PyFs", "mkdir", {"path"}, 1};

PyObject* fs_mkdir_impl(FsPtr& fs, const Args& a) {
  std::string_view path;
  if (!a.text(0, path)) return nullptr;
  return none_or_raise(fs->mkdir(path));
}

constinit Signature g_touch_signature{"PyFs", "touch", {"path"}, 1};

PyObject* fs_touch_impl(FsPtr& fs, const Args& a) {
  std::string_view path;
  if (!a.text(0, path)) return nullptr;
  return none_or_raise(fs->touch(path));
}

constinit Signature g_open_signature{"PyFs", "open", {"path", "mode"}, 2};

PyObject* fs_open_impl(FsPtr& fs, const Args& a) {
  std::string_view path;
  std::string_view mode;
  if (!a.text(0, path) || !a.text(1, mode)) return nullptr;
  // The mode is checked before the path is looked at.
  IoResult<FileHandleType> type = FileHandleType::from_str(mode);
  if (!type) return raise_io_error(type.error());
  PyTypeObject* handle_type = py_file_handle_class().require();
  IoResult<FileHandle> handle = moxtile::open(fs, path, *type, /*create=*/true);
  if (!handle) return raise_io_error(handle.error());
  return new_py_file_handle(handle_type, std::move(*handle));
}

constinit Signature g_listdir_signature{"PyFs", "listdir", {"path"}, 1};

PyObject* fs_listdir_impl(FsPtr& fs, const Args& a) {
  std::string_view path;
  if (!a.text(0, path)) return nullptr;
  IoResult<InodeId> id = fs->get_inode_by_path_raw(path);
  if (!id) return raise_io_error(id.error());
  PyRef files = PyRef::steal(PyList_New(0));
  if (!files) return nullptr;
  PyRef directories = PyRef::steal(PyList_New(0));
  if (!directories) return nullptr;
  // Straight from the child list into the two lists: making a str and
  // appending to a list run no Python code (neither can start a garbage
  // collection), so the directory's lock is safe to hold meanwhile.
  bool failed = false;
  IoStatus listed = fs->for_each_child(*id, [&](std::string_view name, bool is_directory) {
    PyRef item = PyRef::steal(new_str(name));
    failed =
        !item || PyList_Append(is_directory ? directories.get() : files.get(), item.get()) != 0;
    return !failed;
  });
  if (failed) return nullptr;
  if (!listed) return raise_io_error(listed.error());
  return PyTuple_Pack(2, files.get(), directories.get());
}

constinit Signature g_remove_signature{"PyFs", "remove", {"path", "recurse"}, 2};

PyObject* fs_remove_impl(FsPtr& fs, const Args& a) {
  std::string_view path;
  bool recurse = false;
  if (!a.text(0, path) || !a.flag(1, recurse)) return nullptr;
  return none_or_raise(fs->rm(path, recurse));
}

constinit Signature g_stat_signature{"PyFs", "stat", {"path"}, 1};

PyObject* fs_stat_impl(FsPtr& fs, const Args& a) {
  std::string_view path;
  if (!a.text(0, path)) return nullptr;
  const std::optional<NodeStat> found = fs->stat(path);
  if (!found) Py_RETURN_NONE;
  PyRef size = PyRef::steal(new_int(found->size));
  if (!size) return nullptr;
  return PyTuple_Pack(2, found->is_directory ? Py_True : Py_False, size.get());
}

constinit Signature g_read_bytes_signature{"PyFs", "read_bytes", {"path", "start", "end"}, 1};

PyObject* fs_read_bytes_impl(FsPtr& fs, const Args& a) {
  std::string_view path;
  std::optional<std::uint64_t> start;
  std::optional<std::uint64_t> end;
  if (!a.text(0, path) || !a.optional_u64(1, start) || !a.optional_u64(2, end)) return nullptr;
  IoResult<FileHandle> handle =
      moxtile::open(fs, path, FileHandleType(FileHandleType::kRead), /*create=*/false);
  if (!handle) return raise_io_error(handle.error());
  const std::uint64_t from = start.value_or(0);
  IoStatus moved = handle->seek(SeekOrigin::Start, from);
  if (!moved) return raise_io_error(moved.error());
  const std::uint64_t limit = end ? (*end > from ? *end - from : 0) : UINT64_MAX;
  // Sized under the file's lock, then filled: one copy, straight into the result.
  PyRef bytes;
  IoResult<std::optional<std::size_t>> count =
      handle->read_placed(limit, [&](std::size_t n) -> std::uint8_t* {
        bytes = new_bytes_of_size(n);
        return bytes ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())) : nullptr;
      });
  IoStatus closed = handle->close();
  if (!count) return raise_io_error(count.error());
  if (!*count) return nullptr;  // MemoryError is set
  if (!closed) return raise_io_error(closed.error());
  return bytes.release();
}

constinit Signature g_tree_signature{"PyFs", "tree", {"path", "ident"}, 1};

PyObject* fs_tree_impl(FsPtr& fs, const Args& a) {
  std::string_view path;
  std::optional<std::string_view> ident;
  if (!a.text(0, path) || !a.optional_text(1, ident)) return nullptr;
  IoResult<std::string> text = render_tree(*fs, path, ident.value_or(std::string_view()));
  if (!text) return raise_io_error(text.error());
  return new_str(*text);
}

PyObject* fs_str_impl(FsPtr& fs) { return new_str(fs->debug_string()); }

PyMethodDef g_methods[] = {
    method_with_args("mkdir", fastcall_method<FsPtr, g_mkdir_signature, fs_mkdir_impl>, kMkdirDoc),
    method_with_args("touch", fastcall_method<FsPtr, g_touch_signature, fs_touch_impl>, kTouchDoc),
    method_with_args("open", fastcall_method<FsPtr, g_open_signature, fs_open_impl>, kOpenDoc),
    method_with_args("listdir", fastcall_method<FsPtr, g_listdir_signature, fs_listdir_impl>,
                     kListdirDoc),
    method_with_args("remove", fastcall_method<FsPtr, g_remove_signature, fs_remove_impl>,
                     kRemoveDoc),
    method_with_args("tree", fastcall_method<FsPtr, g_tree_signature, fs_tree_impl>, kTreeDoc),
    method_with_args("stat", fastcall_method<FsPtr, g_stat_signature, fs_stat_impl>, kStatDoc),
    method_with_args("read_bytes",
                     fastcall_method<FsPtr, g_read_bytes_signature, fs_read_bytes_impl>,
                     kReadBytesDoc),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

const PyType_Slot g_slots[] = {
    {Py_tp_str, reinterpret_cast<void*>(&unary_slot<FsPtr, fs_str_impl>)},
};

}  // namespace

PyClass& py_fs_class() {
  static PyClass instance(ClassSpec{
      .name = "PyFs",
      .qualified_name = "moxtile.PyFs",
      .doc = kClassDoc,
      .basicsize = sizeof(FsObject),
      .dealloc = &destroy_instance<FsPtr>,
      .methods = g_methods,
      .constructor = &fs_new,
      .extra_slots = g_slots,
  });
  return instance;
}

bool fs_from_arg(const Args& args, std::size_t i, std::shared_ptr<FileSystem>& out) {
  PyObject* value = args[i];
  if (!py_fs_class().is_instance(value)) return raise_wrong_type(value, args.name(i), "PyFs");
  out = FsObject::of(value).core;
  return true;
}

}  // namespace moxtile::py
