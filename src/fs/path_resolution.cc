// Path resolution: names and paths to nodes, and nodes back to paths.
// Always from the root; '/' and '\\' both separate. Hand over hand: at most
// two nodes are held at a time.
#include "fs/file_system.h"
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

IoResult<NodeRef> FileSystem::lookup_child(const INode& directory, std::string_view name,
                                           std::uint32_t tag) {
  if (!directory.is_directory()) return IoErrorKind::NotADirectory;
  SharedGuard guard(directory.lock());
  INode* child = directory.children().find(name, tag);
  if (child == nullptr) return IoErrorKind::InodeNotFound;
  return NodeRef::share(child);
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

IoResult<NodeRef> FileSystem::resolve_path(std::string_view path) const {
  // Lock coupling over directories: the directory reached is locked shared
  // before the one it was found in is let go. One seen under its own lock
  // without the going mark cannot be detached until that lock is let go
  // (marking needs the exclusive hold), so it stays alive without reference
  // counting. Anything else (a file, a directory already going, a node
  // reached through the table) is held by `owned`; files are never locked
  // here, so a long write to one does not stall walks through its directory.
  // Locks are only ever taken downwards while another is held, and no writer
  // holds two node locks, so this cannot deadlock.
  INode* held = root_.get();  // locked shared when it is a directory
  NodeRef owned;              // keeps `held` alive when its lock alone does not
  held->lock().lock_shared();
  auto let_go = [&] {
    if (held->is_directory()) held->lock().unlock_shared();
  };
  // Moves to `next`, a child listed in `held` (a directory, so locked).
  auto step_to = [&](INode* next) {
    NodeRef keep;
    if (next->is_directory()) {
      next->lock().lock_shared();
      if (next->going()) keep = NodeRef::share(next);
    } else {
      keep = NodeRef::share(next);  // listed under the lock, so alive
    }
    held->lock().unlock_shared();
    held = next;
    owned = std::move(keep);
  };
  // Lets go of `held` and continues at the node the table has under `id`.
  auto jump_to = [&](InodeId id) -> IoStatus {
    let_go();
    owned.reset();
    auto next = resolve(id);
    if (!next) return next.error();
    owned = std::move(*next);
    held = owned.get();
    if (held->is_directory()) held->lock().lock_shared();
    return {};
  };
  const char* const end = path.data() + path.size();
  const char* p = path.data();
  while (true) {
    const char* stop = p;
    while (stop != end && !is_separator(*stop)) ++stop;
    const std::string_view component(p, static_cast<std::size_t>(stop - p));
    if (component.empty() || component == ".") {
      // Nothing to do.
    } else if (component == "..") {
      IoStatus moved = jump_to(held->parent());
      if (!moved) return moved.error();
    } else {
      if (!held->is_directory()) return IoErrorKind::NotADirectory;  // unlocked, owned
      INode* child = held->children().find(component);
      if (child == nullptr) {
        held->lock().unlock_shared();
        return IoErrorKind::InodeNotFound;
      }
      if (child->is_symlink()) {
        IoStatus moved = jump_to(child->symlink_target());
        if (!moved) return moved.error();
      } else {
        step_to(child);
      }
    }
    if (stop == end) break;
    p = stop + 1;
  }
  NodeRef result = owned.get() == held ? std::move(owned) : NodeRef::share(held);
  let_go();
  return result;
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
