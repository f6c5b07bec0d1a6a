// Path resolution: names and paths to nodes, and nodes back to paths.
// Always from the root; '/' and '\\' both separate. Hand over hand: at most
// two nodes are held at a time.
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

namespace {

// Where the last component that moves the walk ends (not empty, not "."), or
// nullptr when there is none and the walk stays at the root.
const char* last_step_end(std::string_view path) {
  const char* const begin = path.data();
  const char* end = begin + path.size();
  while (end != begin) {
    while (end != begin && is_separator(end[-1])) --end;
    const char* start = end;
    while (start != begin && !is_separator(start[-1])) --start;
    if (end - start == 1 && *start == '.') {
      end = start;
      continue;
    }
    return end == start ? nullptr : end;
  }
  return nullptr;
}

}  // namespace

IoResult<HeldNode> FileSystem::walk(std::string_view path, bool exclusive) const {
  // Lock coupling over directories: the directory reached is locked before
  // the one it was found in is let go, so a listed child stays alive without
  // reference counting (see held_node.h). Files are never locked here, so a
  // long write to one does not stall walks through its directory. Locks are
  // only ever taken downwards while another is held (the exclusive one, if
  // asked for, only on the last step), so this cannot deadlock.
  const char* const last = last_step_end(path);
  HeldNode held = HeldNode::take(root_.get(), NodeRef(), exclusive && last == nullptr);
  // Lets go of what is held and continues at the node the table has under `id`.
  auto jump_to = [&](InodeId id, bool mode) -> IoStatus {
    held.reset();
    auto next = resolve(id);
    if (!next) return next.error();
    INode* node = next->get();
    held = HeldNode::take(node, std::move(*next), mode);
    return {};
  };
  const char* const end = path.data() + path.size();
  const char* p = path.data();
  while (true) {
    const char* stop = p;
    while (stop != end && !is_separator(*stop)) ++stop;
    const std::string_view component(p, static_cast<std::size_t>(stop - p));
    const bool mode = exclusive && stop == last;
    if (component.empty() || component == ".") {
      // Nothing to do.
    } else if (component == "..") {
      IoStatus moved = jump_to(held->parent(), mode);
      if (!moved) return moved.error();
    } else {
      if (!held->is_directory()) return IoErrorKind::NotADirectory;
      INode* child = held->children().find(component);
      if (child == nullptr) return IoErrorKind::InodeNotFound;
      if (child->is_symlink()) {
        IoStatus moved = jump_to(child->symlink_target(), mode);
        if (!moved) return moved.error();
      } else {
        held.step_to(child, mode);
      }
    }
    if (stop == end) break;
    p = stop + 1;
  }
  return held;
}

IoResult<NodeRef> FileSystem::resolve_path(std::string_view path) const {
  auto held = walk(path, false);
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
