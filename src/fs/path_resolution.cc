// Path resolution: names and paths to nodes, and nodes back to paths.
// Always from the root; '/' and '\\' both separate. Hand over hand: at most
// two nodes are held, and no node's lock is held from one step to the next.
#include <algorithm>

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
  NodeRef current = root_;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    auto end =
        std::find_if(path.begin() + static_cast<std::ptrdiff_t>(pos), path.end(), is_separator);
    std::size_t stop = static_cast<std::size_t>(end - path.begin());
    std::string_view component = path.substr(pos, stop - pos);
    pos = stop + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      auto parent = resolve(current->parent());
      if (!parent) return parent.error();
      current = std::move(*parent);
      continue;
    }
    auto child = lookup_child(*current, component);
    if (!child) return child.error();
    auto next = follow(std::move(*child));
    if (!next) return next.error();
    current = std::move(*next);
  }
  return current;
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
