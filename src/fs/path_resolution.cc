// Path resolution: names and paths to nodes, and nodes back to paths.
// Always from the root; '/' and '\\' both separate.
#include "fs/epoch.h"
#include "fs/file_system.h"
#include "fs/held_node.h"
#include "fs/inline_vector.h"

namespace moxtile {
namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

IoResult<NodeRef> FileSystem::lookup_child(const INode& directory, std::string_view name) {
  if (!directory.is_directory()) return IoErrorKind::NotADirectory;
  SharedGuard guard(directory.lock());
  INode* child = directory.children().find(name);
  if (child == nullptr) return IoErrorKind::InodeNotFound;
  return NodeRef::share(child);  // listed under the lock, so alive
}

IoResult<InodeId> FileSystem::find_inode_by_name(InodeId directory, std::string_view name) const {
  auto node = resolve(directory);
  if (!node) return node.error();
  // These three answer without looking at the kind, so they work on files too.
  if (name.empty() || name == ".") return (*node)->id();
  if (name == "..") return (*node)->parent();
  auto child = lookup_child(**node, name);
  if (!child) return child.error();
  return (*child)->id();
}

IoResult<HeldNode> FileSystem::walk(std::string_view path, bool exclusive,
                                    std::string_view* last) const {
  // Directories are read without their locks (ChildList::find_without_lock);
  // the guard keeps every node met on the way allocated until the walk ends,
  // and only the node it ends at is locked (or counted) before then. A lookup
  // that a writer gets in the way of is done again under the lock.
  epoch::ReadGuard reading;
  INode* at = root_.get();
  NodeRef owned;  // holds `at` when it was reached through the table
  // Continues at the node the table has under `id`.
  auto jump_to = [&](InodeId id) -> IoStatus {
    auto next = resolve(id);
    if (!next) return next.error();
    owned = std::move(*next);
    at = owned.get();
    return {};
  };
  const char* const end = path.data() + path.size();
  const char* p = path.data();
  while (true) {
    const char* stop = p;
    while (stop != end && !is_separator(*stop)) ++stop;
    const std::string_view component(p, static_cast<std::size_t>(stop - p));
    if (stop == end && last != nullptr) {
      *last = component;
      break;
    }
    if (component.empty() || component == ".") {
      // Nothing to do.
    } else if (component == "..") {
      IoStatus moved = jump_to(at->parent());
      if (!moved) return moved.error();
    } else {
      if (!at->is_directory()) return IoErrorKind::NotADirectory;
      INode* child;
      if (!at->children().find_without_lock(component, child)) {
        SharedGuard guard(at->lock());
        child = at->children().find(component);
      }
      if (child == nullptr) return IoErrorKind::InodeNotFound;
      if (child->is_symlink()) {
        IoStatus moved = jump_to(child->symlink_target());
        if (!moved) return moved.error();
      } else {
        at = child;
        owned.reset();
      }
    }
    if (stop == end) break;
    p = stop + 1;
  }
  if (owned) return HeldNode::take(std::move(owned), exclusive);
  HeldNode held = HeldNode::take_reached(at, exclusive);
  if (held.get() == nullptr) return IoErrorKind::InodeNotFound;  // removed meanwhile
  return held;
}

IoResult<NodeRef> FileSystem::resolve_path(std::string_view path) const {
  auto held = walk(path, false, nullptr);
  if (!held) return held.error();
  return held->release();
}

IoResult<InodeId> FileSystem::get_inode_by_path_raw(std::string_view path) const {
  auto node = resolve_path(path);
  if (!node) return node.error();
  return (*node)->id();
}

IoResult<std::string> FileSystem::get_path_by_inode(InodeId id) const {
  if (id == kRootId) return std::string("/");
  // Holding the nodes keeps their names alive without copying them.
  InlineVector<NodeRef, 8> chain;
  std::size_t length = 0;
  for (InodeId current = id;;) {
    auto node = resolve(current);
    if (!node) return node.error();
    length += (*node)->name().size() + 1;
    InodeId parent = (*node)->parent();
    chain.push_back(std::move(*node));
    if (parent == kRootId) break;
    // Depth is bounded, so a longer chain means the table is inconsistent.
    if (chain.size() > kMaxDepth + 1) return IoErrorKind::InodeNotFound;
    current = parent;
  }
  std::string path;
  path.reserve(length);
  for (std::size_t i = chain.size(); i-- > 0;) {
    path += '/';
    path += chain[i]->name();
  }
  return path;
}

}  // namespace moxtile
