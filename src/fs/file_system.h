// FileSystem: a whole in-memory filesystem (the inode table and the id counter).
//
// Thread safety: every operation may run on many threads at once. The table
// gives per-entry shared access (nodes are reference counted, the table's own
// locks are held only inside a table operation); each node has a reader/writer
// lock around its content; each file has an atomic open-handle flag.
//
// Lock order, everywhere: a thread holds at most one node lock at a time. A
// path walk reads directories without their locks (see epoch.h) and locks
// only the node it ends at; a removal lets go of the node's lock before it
// takes the parent's.
// Table locks are leaves: held only inside one table operation, never while
// taking another lock. See inode.h for which field is guarded by what.
//
// Shared by std::shared_ptr: the Python filesystem object, every terminal and
// every open FileHandle hold one reference.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/io_result.h"
#include "fs/file_handle_type.h"
#include "fs/held_node.h"
#include "fs/inode_table.h"

namespace moxtile {

class FileHandle;

// Result of ls_raw: names of the children that are not directories, then of
// those that are, each in creation order.
struct Listing {
  std::vector<std::string> files;
  std::vector<std::string> directories;
};

// Result of stat: a node's kind and, for a file, its size in bytes (0 for a
// directory).
struct NodeStat {
  bool is_directory = false;
  std::uint64_t size = 0;
};

// Naming: a `_raw` operation works on inode ids instead of paths (it takes an
// id, or, for get_inode_by_path_raw, gives one).
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
  // in child order; the first failure stops the removal). A file with an open
  // handle is ResourceCurrentInUse. A directory is found empty and marked as
  // going under one exclusive hold of its lock, so a creation racing with its
  // removal fails with InodeNotFound instead of leaving an orphan.
  // The root is never taken out of the table: with `recursive` it is emptied
  // and the call succeeds; without, it is DirectoryIsNotEmpty when it has
  // children and otherwise a successful no-op.
  IoStatus rm_raw(InodeId id, bool recursive);
  // What `path` names (symlinks followed), without opening anything: empty
  // when nothing is there, and also when the path runs through a file
  // ("/file/x") or ends in a separator after a file's name ("/file/"), as
  // open() would not find a file there either. A file held by a writer is
  // answered all the same, with the size its last write left.
  std::optional<NodeStat> stat(std::string_view path) const;
  // The children of directory `id` (symlinks followed), split by their own
  // kinds (a symlink counts as a non-directory); NotADirectory for a file.
  // The listing is taken under the directory's lock, so no child vanishes
  // halfway; a child removed concurrently is either listed or skipped.
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

  // The table itself, for inspection (invariant checks, diagnostics).
  const InodeTable& inodes() const noexcept { return inodes_; }

 private:
  friend class FileHandle;
  friend IoResult<FileHandle> open_raw(std::shared_ptr<FileSystem>, InodeId, FileHandleType);
  friend IoResult<FileHandle> open(std::shared_ptr<FileSystem>, std::string_view, FileHandleType,
                                   bool);

  // Symlinks are followed at most this many times before InodeNotFound.
  static constexpr int kMaxSymlinkHops = 40;

  // The node `id` designates (symlinks followed).
  IoResult<NodeRef> resolve(InodeId id) const;
  // `node` itself, or what it designates when it is a symlink.
  IoResult<NodeRef> follow(NodeRef node) const;
  IoResult<NodeRef> resolve_path(std::string_view path) const;
  // Walks `path` from the root and holds the node reached, locked when it is
  // a directory: exclusively with `exclusive`, else shared. With `last`, the
  // final component (after the last separator, maybe empty) is not looked
  // up but stored there, and the node held is the one it would be found in.
  IoResult<HeldNode> walk(std::string_view path, bool exclusive, std::string_view* last) const;
  // The child of `directory` called `name` (an ordinary name, not "", ".", "..").
  static IoResult<NodeRef> lookup_child(const INode& directory, std::string_view name);
  // Name check, id, then insert_child. `directory` is held exclusively (when
  // it is a directory); `tag` is name_tag_of(name), so the name is hashed once.
  IoResult<NodeRef> create_in(const HeldNode& directory, std::string_view name, std::uint32_t tag,
                              NodeType type, bool keep);
  // Everything of creation after the id is drawn, inside the caller's
  // exclusive hold of the directory's lock. Hands back a reference to the new
  // node only with `keep` (an empty one otherwise).
  IoResult<NodeRef> insert_child(INode& directory, InodeId id, std::string_view name,
                                 std::uint32_t tag, NodeType type, InodeId symlink_target,
                                 bool keep);
  // Removal in two phases: empty_directory, then detach. `parent_hint`: the
  // directory `node` was just listed in, if known (saves a table lookup in
  // recursive removal); nullptr to look it up.
  IoStatus remove_node(const NodeRef& node, bool recursive, INode* parent_hint);
  // rm and rm_raw: remove_node, then frees what no walk can still see.
  IoStatus remove_then_collect(IoResult<NodeRef> node, bool recursive);
  IoStatus empty_directory(const NodeRef& directory, bool recursive);
  IoStatus detach(const NodeRef& node, INode* parent_hint);
  IoStatus make_at_path(std::string_view path, NodeType type);
  using ChildVisitor = bool (*)(void* ctx, std::string_view name, bool is_directory);
  IoStatus for_each_child_impl(InodeId directory, ChildVisitor visit, void* ctx) const;

  // Declared first, so destroyed last: frees the nodes the table and the root
  // leave behind as soon as no walk can reach them.
  struct CollectAtEnd {
    ~CollectAtEnd();
  } collect_at_end_;
  InodeTable inodes_;                            // owns every node
  NodeRef root_;                                 // the root is never removed
  std::atomic<std::uint64_t> next_inode_id_{1};  // only grows
};

}  // namespace moxtile
