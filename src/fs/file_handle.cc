#include "fs/file_handle.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/debug_text.h"
#include "base/panic.h"

namespace moxtile {

FileHandle::FileHandle(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type,
                       NodeRef node)
    : id_(id), type_(type), fs_(std::move(fs)), node_(std::move(node)) {}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : id_(std::exchange(other.id_, std::nullopt)),
      type_(other.type_),
      fs_(std::move(other.fs_)),
      offset_(other.offset_),
      node_(std::move(other.node_)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this == &other) return *this;
  if (is_open()) {
    try {
      (void)close();
    } catch (const Panic&) {  // NOLINT(bugprone-empty-catch): the lock protocol is already broken
    }
  }
  id_ = std::exchange(other.id_, std::nullopt);
  type_ = other.type_;
  fs_ = std::move(other.fs_);
  offset_ = other.offset_;
  node_ = std::move(other.node_);
  return *this;
}

FileHandle::~FileHandle() {
  if (!is_open()) return;
  try {
    (void)close();
  } catch (const Panic&) {  // NOLINT(bugprone-empty-catch): callers that must see it close()
  }
}

IoResult<FileHandle> FileHandle::open_by_id(std::shared_ptr<FileSystem> fs, InodeId id,
                                            FileHandleType type) {
  auto file = fs->resolve(id);
  if (!file) return file.error();
  return open_node(std::move(fs), id, type, std::move(*file));
}

IoResult<FileHandle> FileHandle::open_node(std::shared_ptr<FileSystem> fs, InodeId id,
                                           FileHandleType type, NodeRef file) {
  if (!file->is_file()) return IoErrorKind::NotAFile;
  // The flag is atomic and decides every race by itself (removal claims it
  // too), so the node's lock is not needed around it.
  FileLock& lock = file->file_lock();
  bool taken = type.can_write() ? lock.try_set_writer() : lock.try_add_reader();
  if (!taken) return IoErrorKind::ResourceCurrentInUse;
  return FileHandle(std::move(fs), id, type, std::move(file));
}

IoStatus FileHandle::check(std::uint32_t needed) const {
  if (!is_open()) return IoErrorKind::InvalidFileDescriptor;
  if (needed == FileHandleType::kRead && !type_.can_read()) {
    return IoError::operation_not_supported("read");
  }
  if (needed == FileHandleType::kWrite && !type_.can_write()) {
    return IoError::operation_not_supported("write");
  }
  // node_ is the open file: it cannot have left the table nor changed kind.
  return {};
}

IoResult<std::size_t> FileHandle::read(std::span<std::uint8_t> buffer) {
  IoStatus status = check(FileHandleType::kRead);
  if (!status) return status.error();
  SharedGuard guard(node_->lock());
  const FileData& data = node_->file_data();
  std::size_t count = std::min<std::size_t>(buffer.size(), data.size() - offset_);
  if (count > 0) std::memcpy(buffer.data(), data.data() + offset_, count);
  offset_ += count;
  return count;
}

IoResult<std::size_t> FileHandle::write(std::span<const std::uint8_t> bytes) {
  IoStatus status = check(FileHandleType::kWrite);
  if (!status) return status.error();
  ExclusiveGuard guard(node_->lock());
  node_->file_data().write_at(offset_, bytes);
  return bytes.size();
}

IoStatus FileHandle::seek(SeekOrigin origin, std::uint64_t amount) {
  IoStatus status = check(FileHandleType::kEmpty);
  if (!status) return status;
  SharedGuard guard(node_->lock());
  std::uint64_t length = node_->file_data().size();
  switch (origin) {
    case SeekOrigin::Start:
      offset_ = std::min(amount, length);
      break;
    case SeekOrigin::End:
      offset_ = amount > length ? 0 : length - amount;
      break;
    case SeekOrigin::Current: {
      std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
      std::uint64_t moved = amount > max - offset_ ? max : offset_ + amount;
      offset_ = std::min(moved, length);
      break;
    }
  }
  return {};
}

IoStatus FileHandle::close() {
  IoStatus status = check(FileHandleType::kEmpty);
  if (!status) return status;
  if (type_.can_write()) {
    node_->file_lock().release_writer();
  } else {
    node_->file_lock().release_reader();
  }
  id_.reset();
  node_.reset();
  return {};
}

void FileHandle::append_debug(std::string& out) const {
  out += "FileHandle { id: ";
  if (id_) {
    out += "Some(";
    append_decimal(out, *id_);
    out += ')';
  } else {
    out += "None";
  }
  out += ", type: ";
  type_.append_debug(out);
  out += ", fs: ";
  if (fs_) fs_->append_debug(out);
  out += ", offset: ";
  append_decimal(out, offset_);
  out += " }";
}

std::string FileHandle::debug_string() const {
  std::string out;
  append_debug(out);
  return out;
}

IoResult<FileHandle> open_raw(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type) {
  auto file = fs->resolve(id);
  if (!file) return file.error();
  if ((*file)->is_directory()) return IoErrorKind::NotAFile;
  InodeId resolved = (*file)->id();
  return FileHandle::open_node(std::move(fs), resolved, type, std::move(*file));
}

IoResult<FileHandle> open(std::shared_ptr<FileSystem> fs, std::string_view path,
                          FileHandleType type, bool create) {
  std::string_view name;
  auto directory = fs->walk(path, false, &name);
  if (!directory) return directory.error();
  // A path ending in a separator names a directory, never a file.
  if (name.empty()) return IoErrorKind::NotAFile;
  if (name == "." || name == "..") {
    InodeId id = name == "." ? (*directory)->id() : (*directory)->parent();
    directory->reset();
    return FileHandle::open_by_id(std::move(fs), id, type);
  }
  if (!(*directory)->is_directory()) return IoErrorKind::NotADirectory;
  // One hash serves the lookup and, for a new file, the creation.
  const std::uint32_t tag = name_tag_of(name);
  if (INode* child = (*directory)->children().find(name, tag)) {
    InodeId id = child->id();
    NodeRef found = NodeRef::share(child);  // listed under the lock, so alive
    directory->reset();
    auto file = fs->follow(std::move(found));
    if (!file) return file.error();
    return FileHandle::open_node(std::move(fs), id, type, std::move(*file));
  }
  if (!create) return IoErrorKind::InodeNotFound;
  // Creation needs the directory exclusively: let go, then take it again.
  HeldNode held = HeldNode::take(directory->release(), true);
  auto made = fs->create_in(held, name, tag, NodeType::File, true);
  if (!made) return made.error();
  held.reset();
  InodeId id = (*made)->id();
  return FileHandle::open_node(std::move(fs), id, type, std::move(*made));
}

}  // namespace moxtile
