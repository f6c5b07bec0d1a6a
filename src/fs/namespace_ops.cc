// Namespace operations: mkdir, touch, rm, listing, stat.
#include "fs/epoch.h"
#include "fs/file_system.h"
#include "fs/inline_vector.h"

namespace moxtile {

IoStatus FileSystem::make_at_path(std::string_view path, NodeType type) {
  // The walk ends at the parent, locked exclusively, so creation needs no
  // second lookup of it.
  std::string_view name;
  auto directory = walk(path, true, &name);
  if (!directory) return directory.error();
  auto node = create_in(*directory, name, name_tag_of(name), type, false);
  if (!node) return node.error();
  return {};
}

IoStatus FileSystem::mkdir(std::string_view path) {
  return make_at_path(path, NodeType::Directory);
}

IoStatus FileSystem::touch(std::string_view path) { return make_at_path(path, NodeType::File); }

IoStatus FileSystem::rm(std::string_view path, bool recursive) {
  return remove_then_collect(resolve_path(path), recursive);
}

IoStatus FileSystem::rm_raw(InodeId id, bool recursive) {
  return remove_then_collect(resolve(id), recursive);
}

IoStatus FileSystem::remove_then_collect(IoResult<NodeRef> node, bool recursive) {
  if (!node) return node.error();
  IoStatus status = remove_node(*node, recursive, nullptr);
  node->reset();     // let go first, so that it can be freed too
  epoch::collect();  // what was removed is freed now unless a walk may still see it
  return status;
}

IoStatus FileSystem::remove_node(const NodeRef& node, bool recursive, INode* parent_hint) {
  if (node->is_directory()) {
    IoStatus emptied = empty_directory(node, recursive);
    if (!emptied) return emptied;
  }
  if (node->id() == kRootId) return {};  // emptied; the root itself stays
  return detach(node, parent_hint);
}

// Phase 1 of a removal: with `recursive`, removes the directory's children
// (depth first, child order; the first failure stops everything).
IoStatus FileSystem::empty_directory(const NodeRef& directory, bool recursive) {
  InlineVector<NodeRef, 8> children;
  {
    SharedGuard guard(directory->lock());
    if (!directory->children().empty() && !recursive) return IoErrorKind::DirectoryIsNotEmpty;
    directory->children().for_each([&](INode* child) {
      children.push_back(NodeRef::share(child));
      return true;
    });
  }
  for (std::size_t i = 0; i < children.size(); ++i) {
    IoStatus status = remove_node(children[i], true, directory.get());
    if (!status) return status;
  }
  return {};
}

// Phase 2 of a removal: takes the node out of its parent and the table.
// Nothing is held since phase 1, so the claims below are what decide a race
// with another removal: the going mark of a directory and the flag of a file
// are each won by exactly one remover.
IoStatus FileSystem::detach(const NodeRef& node, INode* parent_hint) {
  NodeRef parent_ref;
  INode* parent = parent_hint;
  if (parent == nullptr || parent->id() != node->parent()) {
    // A listed child keeps its directory from being detached, so while `node`
    // is listed its parent stays in the table; only a lost race lands here
    // without one.
    auto found = resolve(node->parent());
    if (!found) return found.error();
    parent_ref = std::move(*found);
    parent = parent_ref.get();
  }
  if (!parent->is_directory()) return IoErrorKind::NotADirectory;
  if (node->is_directory()) {
    // Emptiness and the going mark under one exclusive hold: a creation that
    // comes later sees the mark and fails instead of leaving an orphan.
    ExclusiveGuard guard(node->lock());
    if (node->going()) return IoErrorKind::InodeNotFound;  // another removal won
    if (!node->children().empty()) return IoErrorKind::DirectoryIsNotEmpty;
    node->set_going();
  } else if (node->is_file()) {
    SharedGuard guard(node->lock());
    // From here on no handle can be opened on the file.
    if (!node->file_lock().try_claim_for_removal()) {
      // Open handles, or another removal that may already be over.
      return inodes_.get(node->id()) ? IoErrorKind::ResourceCurrentInUse
                                     : IoErrorKind::InodeNotFound;
    }
  } else if (!inodes_.get(node->id())) {
    return IoErrorKind::InodeNotFound;  // a link: nothing to claim, so ask the table
  }
  NodeRef detached;  // dropped only once the parent's lock is released
  {
    ExclusiveGuard guard(parent->lock());
    detached = parent->children().remove(node.get());
  }
  inodes_.remove(node->id());
  return {};
}

std::optional<NodeStat> FileSystem::stat(std::string_view path) const {
  auto held = walk(path, false, nullptr);
  if (!held) return std::nullopt;  // not found, or a file on the way
  const INode& node = **held;
  if (node.is_directory()) return NodeStat{true, 0};
  const bool names_a_directory = !path.empty() && (path.back() == '/' || path.back() == '\\');
  if (names_a_directory || !node.is_file()) return std::nullopt;
  // The node's own lock, not the file's handle flag: a writer's handle does
  // not keep the size from being read.
  SharedGuard guard(node.lock());
  return NodeStat{false, node.file_data().size()};
}

IoResult<Listing> FileSystem::ls_raw(InodeId id) const {
  auto node = resolve(id);
  if (!node) return node.error();
  if (!(*node)->is_directory()) return IoErrorKind::NotADirectory;
  Listing listing;
  SharedGuard guard((*node)->lock());
  const ChildList& children = (*node)->children();
  std::size_t directories = 0;
  children.for_each([&](const INode* child) {
    directories += child->is_directory() ? 1 : 0;
    return true;
  });
  listing.directories.reserve(directories);
  listing.files.reserve(children.size() - directories);
  children.for_each([&](const INode* child) {
    (child->is_directory() ? listing.directories : listing.files).emplace_back(child->name());
    return true;
  });
  return listing;
}

IoStatus FileSystem::for_each_child_impl(InodeId directory, ChildVisitor visit, void* ctx) const {
  auto node = resolve(directory);
  if (!node) return node.error();
  if (!(*node)->is_directory()) return IoErrorKind::NotADirectory;
  SharedGuard guard((*node)->lock());
  // Names and kinds are immutable, so they are read straight off the children.
  (*node)->children().for_each(
      [&](const INode* child) { return visit(ctx, child->name(), child->is_directory()); });
  return {};
}

}  // namespace moxtile
