// INode: one node of the filesystem (file, directory or symlink), and NodeRef,
// the counted reference through which nodes are handed around.
//
// Thread safety, by field:
//   refs                       atomic; NodeRef changes it
//   id, parent, depth, name,   immutable after construction (a node's kind
//   type, symlink target       never changes), read without any lock
//   children, going            guarded by `lock` (shared to read, exclusive to change)
//   list position              guarded by the parent's lock (see child_list.h)
//   file bytes                 guarded by `lock` (shared to read, exclusive to write)
//   file lock flag             atomic (see file_lock.h)
//
// A node is freed after its last NodeRef goes (the inode table holds one, the
// parent's child list another, an open FileHandle a third), once no path walk
// reading without locks can still reach it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "fs/child_list.h"
#include "fs/file_data.h"
#include "fs/file_lock.h"
#include "fs/inode_types.h"
#include "fs/rw_lock.h"

namespace moxtile {

class NodeRef;

class INode final {
 public:
  static constexpr std::size_t kInlineNameCapacity = 24;

  // A new node with one reference, held by the returned NodeRef.
  // `target` is used only for a Symlink.
  static NodeRef make(InodeId id, InodeId parent, std::uint32_t depth, std::string_view name,
                      NodeType type, InodeId target = 0);
  // The same with name_tag_of(name) already computed by the caller.
  static NodeRef make_tagged(InodeId id, InodeId parent, std::uint32_t depth, std::string_view name,
                             std::uint32_t tag, NodeType type, InodeId target);

  INode(const INode&) = delete;
  INode& operator=(const INode&) = delete;

  InodeId id() const noexcept { return id_; }
  InodeId parent() const noexcept { return parent_; }
  std::size_t depth() const noexcept { return depth_; }
  std::string_view name() const noexcept {
    return {name_size_ <= kInlineNameCapacity ? name_.inline_ : name_.heap_, name_size_};
  }
  // Upper 32 bits of hash_name(name()): what a directory's name index keys on.
  std::uint32_t name_tag() const noexcept { return name_tag_; }
  NodeType type() const noexcept { return type_; }
  bool is_directory() const noexcept { return type_ == NodeType::Directory; }
  bool is_file() const noexcept { return type_ == NodeType::File; }
  bool is_symlink() const noexcept { return type_ == NodeType::Symlink; }

  // Where the parent's child list keeps this node once that list has moved
  // to the heap; read and written only by that list, under the parent's lock.
  std::uint32_t list_position() const noexcept { return list_position_; }
  void set_list_position(std::uint32_t at) noexcept { list_position_ = at; }

  // The lock around the node's content.
  RwLock& lock() const noexcept { return lock_; }

  // ---- File (REQUIRES: is_file()) ----
  // Bytes: guarded by lock(). Flag: atomic.
  FileData& file_data() noexcept { return payload_.file.data; }
  const FileData& file_data() const noexcept { return payload_.file.data; }
  FileLock& file_lock() const noexcept { return payload_.file.lock; }

  // ---- Directory (REQUIRES: is_directory()); guarded by lock() ----
  ChildList& children() noexcept { return payload_.children; }
  const ChildList& children() const noexcept { return payload_.children; }
  // Set, under the exclusive lock, once the directory has been found empty
  // for removal; nothing is created in a directory that is going.
  bool going() const noexcept { return going_; }
  void set_going() noexcept { going_ = true; }

  // ---- Symlink (REQUIRES: is_symlink()); immutable ----
  InodeId symlink_target() const noexcept { return payload_.target; }

  // INode { id: 2, parent: 1, depth: 2, name: "f",
  //         data: RwLock { data: File {...}, poisoned: false, .. } }
  // Takes the lock shared if it can; shows <locked> while a writer holds it.
  void append_debug(std::string& out) const;

 private:
  friend class NodeRef;

  INode(InodeId id, InodeId parent, std::uint32_t depth, std::string_view name, std::uint32_t tag,
        NodeType type, InodeId target);
  ~INode();

  void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void drop_ref() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) retire();
  }
  // The last reference is gone: a file's bytes are freed at once, the node
  // itself once no path walk can still be reading it (see epoch.h).
  void retire() noexcept;
  void append_kind_debug(std::string& out) const;

  struct FilePayload {
    FileData data;
    mutable FileLock lock;
  };
  union Payload {
    Payload() noexcept {}
    ~Payload() {}
    FilePayload file;
    ChildList children;
    InodeId target;
  };
  union NameStorage {
    char inline_[kInlineNameCapacity];
    char* heap_;
  };

  std::atomic<std::uint32_t> refs_{1};
  mutable RwLock lock_;
  const InodeId id_;
  const InodeId parent_;
  std::uint32_t name_size_;
  const std::uint8_t depth_;
  const NodeType type_;
  bool going_ = false;
  const std::uint32_t name_tag_;
  std::uint32_t list_position_ = 0;
  NameStorage name_;
  Payload payload_;
};

// Counted reference to an INode (empty or one reference). Copying adds a
// reference, destroying drops it; the node is freed with its last reference.
class NodeRef final {
 public:
  NodeRef() noexcept = default;
  NodeRef(const NodeRef& other) noexcept : node_(other.node_) {
    if (node_ != nullptr) node_->add_ref();
  }
  NodeRef(NodeRef&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  NodeRef& operator=(NodeRef other) noexcept {
    std::swap(node_, other.node_);
    return *this;
  }
  ~NodeRef() {
    if (node_ != nullptr) node_->drop_ref();
  }

  // Takes over a reference the caller already owns.
  static NodeRef adopt(INode* node) noexcept {
    NodeRef r;
    r.node_ = node;
    return r;
  }
  // Adds a reference to a node the caller can see alive (under a lock that
  // keeps it listed).
  static NodeRef share(INode* node) noexcept {
    if (node != nullptr) node->add_ref();
    return adopt(node);
  }
  // A reference to a node reached without a lock or a reference (kept
  // allocated by the epochs only): empty when its last one is already gone,
  // so that a node on its way to being freed is never revived.
  static NodeRef try_share(INode* node) noexcept {
    std::uint32_t refs = node->refs_.load(std::memory_order_relaxed);
    while (refs != 0) {
      if (node->refs_.compare_exchange_weak(refs, refs + 1, std::memory_order_relaxed)) {
        return adopt(node);
      }
    }
    return NodeRef();
  }
  // One more reference to a node that no other thread can reach yet (neither
  // in the table nor listed: lock-free walks read lists without their lock):
  // a plain store does what an atomic increment would.
  NodeRef share_unpublished() const noexcept {
    node_->refs_.store(node_->refs_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return adopt(node_);
  }
  // Gives up the reference without dropping it; see adopt().
  INode* release() noexcept { return std::exchange(node_, nullptr); }

  INode* get() const noexcept { return node_; }
  INode* operator->() const noexcept { return node_; }
  INode& operator*() const noexcept { return *node_; }
  explicit operator bool() const noexcept { return node_ != nullptr; }
  void reset() noexcept { NodeRef().swap(*this); }
  void swap(NodeRef& other) noexcept { std::swap(node_, other.node_); }

 private:
  INode* node_ = nullptr;
};

}  // namespace moxtile
