// FileHandle: an open regular file with a position of its own.
//
// Opening takes the file's FileLock (any number of handles without write
// access, or exactly one with it); collisions fail at once with
// ResourceCurrentInUse, nothing ever waits. A handle is not synchronised
// internally: one handle must not be used from two threads at once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/io_result.h"
#include "fs/file_handle_type.h"
#include "fs/file_system.h"
#include "fs/inode.h"

namespace moxtile {

class FileHandle final {
 public:
  // Opens the file that `id` designates (symlinks followed): takes its lock
  // according to `type`; position 0. The handle shows `id` itself.
  static IoResult<FileHandle> open_by_id(std::shared_ptr<FileSystem> fs, InodeId id,
                                         FileHandleType type);

  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  // Closes the handle if it is still open (a Panic from that close is
  // swallowed here; callers that must report it call close() first).
  ~FileHandle();

  // Check order for all four: closed -> InvalidFileDescriptor; (read/write)
  // missing access -> OperationNotSupported; node gone -> InodeNotFound;
  // not a file -> NotAFile.
  // Copies up to buffer.size() bytes from the position; advances it.
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer);
  // The same for a destination made to measure: the count is the smaller of
  // `limit` and the bytes left, and place(count) returns where that many bytes
  // go. Both happen under the file's lock, so the count cannot go stale. A
  // nullptr from place() gives up: nothing is copied, the position stays, and
  // the result holds no count.
  template <class Place>
  IoResult<std::optional<std::size_t>> read_placed(std::uint64_t limit, Place&& place);
  // Stores the bytes at the position, growing the file; the position stays.
  IoResult<std::size_t> write(std::span<const std::uint8_t> bytes);
  // Never moves past the end of the file and never grows it.
  IoStatus seek(SeekOrigin origin, std::uint64_t amount);
  // Releases the file's lock. Throws Panic if the lock protocol was broken.
  IoStatus close();

  std::optional<InodeId> id() const noexcept { return id_; }
  bool is_open() const noexcept { return id_.has_value(); }
  FileHandleType type() const noexcept { return type_; }
  std::uint64_t offset() const noexcept { return offset_; }

  // FileHandle { id: Some(2), type: FileHandleType(READ), fs: FileSystem { ... }, offset: 0 }
  void append_debug(std::string& out) const;
  std::string debug_string() const;

 private:
  friend IoResult<FileHandle> open_raw(std::shared_ptr<FileSystem>, InodeId, FileHandleType);
  friend IoResult<FileHandle> open(std::shared_ptr<FileSystem>, std::string_view, FileHandleType,
                                   bool);

  FileHandle(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type, NodeRef node);
  // Takes `file`'s lock according to `type`; `id` is what the handle shows.
  static IoResult<FileHandle> open_node(std::shared_ptr<FileSystem> fs, InodeId id,
                                        FileHandleType type, NodeRef file);
  // The common checks of read/write/seek/close; `needed` is kRead, kWrite or kEmpty.
  IoStatus check(std::uint32_t needed) const;

  std::optional<InodeId> id_;       // empty once closed
  FileHandleType type_;             // fixed for the handle's life
  std::shared_ptr<FileSystem> fs_;  // keeps the filesystem alive, open or closed
  std::uint64_t offset_ = 0;        // never beyond the file's length
  // The open file itself, so use skips the table; a file with an open handle
  // cannot be removed, so it stays the node under id_. Empty once closed.
  NodeRef node_;
};

template <class Place>
IoResult<std::optional<std::size_t>> FileHandle::read_placed(std::uint64_t limit, Place&& place) {
  IoStatus status = check(FileHandleType::kRead);
  if (!status) return status.error();
  SharedGuard guard(node_->lock());
  const FileData& data = node_->file_data();
  const std::size_t count =
      static_cast<std::size_t>(std::min<std::uint64_t>(limit, data.size() - offset_));
  std::uint8_t* destination = std::forward<Place>(place)(count);
  if (destination == nullptr) return std::optional<std::size_t>();
  if (count > 0) std::memcpy(destination, data.data() + offset_, count);
  offset_ += count;
  return std::optional<std::size_t>(count);
}

// Opens an existing file by id: NotAFile for anything else.
IoResult<FileHandle> open_raw(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type);
// Opens a file by path; with `create`, a missing last name is created as an
// empty file (in any mode). No missing directory on the way is created.
IoResult<FileHandle> open(std::shared_ptr<FileSystem> fs, std::string_view path,
                          FileHandleType type, bool create);

}  // namespace moxtile
