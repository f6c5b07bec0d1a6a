// FileSystem: a whole in-memory filesystem (the inode table and the id counter).
//
// Thread safety: every operation may run on many threads at once. The table
// gives per-entry shared access (nodes are reference counted, the table's own
// locks are held only inside a table operation); each node has a reader/writer
// lock around its content; each file has an atomic open-handle flag.
//
// Lock order, everywhere: a node's lock before its parent's lock is never
// taken while holding the node's lock exclusively; table locks are leaves
// (held only inside one table operation, never while taking another lock).
// See inode.h for which field is guarded by what.
//
// Shared by std::shared_ptr: the Python filesystem object, every terminal and
// every open FileHandle hold one reference.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error/io_result.h"
#include "fs/inode_table.h"

namespace moxtile {

// Result of ls_raw: names of the children that are not directories, then of
// those that are, each in creation order.
struct Listing {
  std::vector<std::string> files;
  std::vector<std::string> directories;
};

class FileSystem final {
 public:
  // A filesystem holding only the root (id 0, its own parent, empty directory);
  // next_inode_id() is 1.
  static std::shared_ptr<FileSystem> create();
  FileSystem();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // ---- Node model --------------------------------------------------------
  // Follows symlinks: the id of the node `id` designates. InodeNotFound when
  // any id on the chain is absent.
  IoResult<InodeId> get_inode_raw(InodeId id) const;
  IoResult<bool> is_file_raw(InodeId id) const;       // true for anything but a directory
  IoResult<bool> is_directory_raw(InodeId id) const;  // true for a directory
  // Makes a node named `name` in directory `parent` and returns its id.
  // Name check and append happen under one exclusive hold of the parent's
  // lock, so names in a directory stay unique. A bad name (empty, ".", "..",
  // containing '/' or '\\') is ResourceAlreadyExists and spends no id; every
  // later failure spends one. `symlink_target` is used only for Symlink.
  IoResult<InodeId> create_inode(InodeId parent, std::string_view name, NodeType type,
                                 InodeId symlink_target = 0);
  // Takes `id` out of the table (absent: nothing happens). Does not touch the
  // parent's children; ids are never handed out again.
  void release_inode_id(InodeId id);
  std::uint64_t next_inode_id() const noexcept {
    return next_inode_id_.load(std::memory_order_relaxed);
  }

  // ---- Path resolution (always from the root; '/' and '\\' separate) ------
  // "", "." give the directory itself, ".." its parent (on any node kind).
  IoResult<InodeId> find_inode_by_name(InodeId directory, std::string_view name) const;
  IoResult<InodeId> get_inode_by_path_raw(std::string_view path) const;
  // "/" for the root, else "/a/b/c".
  IoResult<std::string> get_path_by_inode(InodeId id) const;

  // ---- Namespace operations ----------------------------------------------
  IoStatus mkdir(std::string_view path);
  IoStatus touch(std::string_view path);
  IoStatus rm(std::string_view path, bool recursive);
  // Removes the node (and with `recursive`, everything below it, depth first
  // in child order; the first failure stops the removal). Removing the root
  // with `recursive` empties it; the root itself always stays.
  IoStatus rm_raw(InodeId id, bool recursive);
  IoResult<Listing> ls_raw(InodeId id) const;

  // Calls visit(std::string_view name, bool is_directory) -> bool for each
  // child of `directory` in creation order while holding the directory's lock
  // shared; stops early when visit returns false. NotADirectory for a file.
  // REQUIRES: visit does not call into this filesystem.
  template <class Visit>
  IoStatus for_each_child(InodeId directory, Visit&& visit) const {
    return for_each_child_impl(
        directory,
        [](void* ctx, std::string_view name, bool is_directory) {
          return (*static_cast<std::remove_reference_t<Visit>*>(ctx))(name, is_directory);
        },
        &visit);
  }

  // ---- Rendering -----------------------------------------------------------
  // FileSystem { inodes: {0: INode { ... }, ...}, next_inode_id: N }
  void append_debug(std::string& out) const;
  std::string debug_string() const;

 private:
  friend class FileHandle;
  using ChildVisitor = bool (*)(void* ctx, std::string_view name, bool is_directory);
  IoStatus for_each_child_impl(InodeId directory, ChildVisitor visit, void* ctx) const;

  InodeTable inodes_;                           // owns every node
  std::atomic<std::uint64_t> next_inode_id_{1};  // only grows
};

}  // namespace moxtile
