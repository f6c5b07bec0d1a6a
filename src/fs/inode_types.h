// Basic vocabulary of the filesystem: inode ids, node types, limits.
#pragma once

#include <cstdint>

namespace moxtile {

// Names a node. The root is 0 and is its own parent; new ids count up from 1
// and are never reused.
using InodeId = std::uint64_t;
inline constexpr InodeId kRootId = 0;

// No node lies deeper than this (the root has depth 0).
inline constexpr std::uint32_t kMaxDepth = 64;

// What a node is; never changes after creation. Declaration order matches the
// variant order of INodeKind (File, Directory, Symlink).
enum class NodeType : std::uint8_t { File, Directory, Symlink };

}  // namespace moxtile
