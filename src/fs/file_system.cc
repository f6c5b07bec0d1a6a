// Node model: construction, resolution by id, creation and release of nodes.
#include "fs/file_system.h"

#include "fs/epoch.h"
#include "fs/inode.h"

namespace moxtile {
namespace {

bool is_ordinary_name(std::string_view name) {
  return !name.empty() && name != "." && name != "..";
}

bool is_valid_name(std::string_view name) {
  if (!is_ordinary_name(name)) return false;
  for (char c : name) {
    if (c == '/' || c == '\\') return false;
  }
  return true;
}

}  // namespace

FileSystem::CollectAtEnd::~CollectAtEnd() { epoch::collect(); }

std::shared_ptr<FileSystem> FileSystem::create() { return std::make_shared<FileSystem>(); }

FileSystem::FileSystem() : root_(INode::make(kRootId, kRootId, 0, "", NodeType::Directory)) {
  inodes_.insert(root_);
}

IoResult<NodeRef> FileSystem::resolve(InodeId id) const {
  for (int hop = 0; hop <= kMaxSymlinkHops; ++hop) {
    NodeRef node = inodes_.get(id);
    if (!node) return IoErrorKind::InodeNotFound;
    if (!node->is_symlink()) return node;
    id = node->symlink_target();
  }
  return IoErrorKind::InodeNotFound;
}

IoResult<NodeRef> FileSystem::follow(NodeRef node) const {
  if (!node->is_symlink()) return node;
  return resolve(node->symlink_target());
}

IoResult<InodeId> FileSystem::get_inode_raw(InodeId id) const {
  auto node = resolve(id);
  if (!node) return node.error();
  return (*node)->id();
}

IoResult<bool> FileSystem::is_file_raw(InodeId id) const {
  auto node = resolve(id);
  if (!node) return node.error();
  return !(*node)->is_directory();
}

IoResult<bool> FileSystem::is_directory_raw(InodeId id) const {
  auto node = resolve(id);
  if (!node) return node.error();
  return (*node)->is_directory();
}

IoResult<InodeId> FileSystem::create_inode(InodeId parent, std::string_view name, NodeType type,
                                           InodeId symlink_target) {
  if (!is_valid_name(name)) return IoErrorKind::ResourceAlreadyExists;
  InodeId id = next_inode_id_.fetch_add(1, std::memory_order_relaxed);
  auto directory = resolve(parent);
  if (!directory) return directory.error();
  HeldNode held = HeldNode::take(std::move(*directory), true);
  auto made = insert_child(*held, id, name, name_tag_of(name), type, symlink_target, false);
  if (!made) return made.error();
  return id;
}

IoResult<NodeRef> FileSystem::create_in(const HeldNode& directory, std::string_view name,
                                        std::uint32_t tag, NodeType type, bool keep) {
  // The last component of a walk never holds a separator.
  if (!is_ordinary_name(name)) return IoErrorKind::ResourceAlreadyExists;
  InodeId id = next_inode_id_.fetch_add(1, std::memory_order_relaxed);
  return insert_child(*directory, id, name, tag, type, 0, keep);
}

IoResult<NodeRef> FileSystem::insert_child(INode& directory, InodeId id, std::string_view name,
                                           std::uint32_t tag, NodeType type, InodeId symlink_target,
                                           bool keep) {
  std::size_t depth = directory.depth() + 1;
  if (depth > kMaxDepth) {
    // Too deep either way; only an existing name takes precedence.
    if (!directory.is_directory()) return IoErrorKind::MaxRecursionDepthExceeded;
    if (directory.children().find(name, tag) != nullptr) return IoErrorKind::ResourceAlreadyExists;
    return IoErrorKind::MaxRecursionDepthExceeded;
  }
  if (!directory.is_directory()) return IoErrorKind::NotADirectory;
  ChildList& children = directory.children();
  if (children.find(name, tag) != nullptr) return IoErrorKind::ResourceAlreadyExists;
  if (directory.going()) return IoErrorKind::InodeNotFound;
  NodeRef node = INode::make_tagged(id, directory.id(), static_cast<std::uint32_t>(depth), name,
                                    tag, type, symlink_target);
  // Every reference the node needs is counted before any other thread can
  // reach it, so plain stores do: once listed, a lock-free walk may take one
  // of its own at any moment.
  NodeRef listed = node.share_unpublished();
  NodeRef kept = keep ? node.share_unpublished() : NodeRef();
  // The table first (its locks are leaves: fine under the directory's lock),
  // then the list, which shows the node to walks as its very last step. So
  // nothing can fail once a walk may hold the node by its lock alone.
  inodes_.insert(std::move(node));
  try {
    children.append(std::move(listed));
  } catch (...) {
    inodes_.remove(id);
    throw;
  }
  return kept;  // empty unless `keep`
}

void FileSystem::release_inode_id(InodeId id) { inodes_.remove(id); }

}  // namespace moxtile
