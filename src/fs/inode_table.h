// InodeTable: the concurrent map from inode id to node.
//
// 32 shards (id & 31), each with its own RwLock and an open-addressing array
// of node pointers (home slot (id >> 5) & mask, Robin Hood linear probing,
// backward-shift deletion, doubled past the load limit of table_load.h). A
// shard's lock is held only inside one table operation and no other lock is
// taken under it, so table locks are leaves: a thread holding node locks or
// NodeRefs may look up, insert and remove other entries freely. Shard arrays
// are allocated on first use, so an empty table costs no allocation.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/inode.h"
#include "fs/rw_lock.h"

namespace moxtile {

class InodeTable final {
 public:
  InodeTable() noexcept = default;
  ~InodeTable();
  InodeTable(const InodeTable&) = delete;
  InodeTable& operator=(const InodeTable&) = delete;

  // The node under `id` (one more reference to it), or an empty NodeRef.
  NodeRef get(InodeId id) const;
  // Stores `node` under node->id(); hands back the entry it replaced, if any.
  NodeRef insert(NodeRef node);
  // Takes the entry under `id` out and hands it back (empty if absent).
  NodeRef remove(InodeId id);
  // Number of entries.
  std::size_t size() const;

  // Calls visit(const NodeRef&) for every entry in storage order, shard by
  // shard. Each shard's entries are collected under its lock and visited
  // after it is released, so `visit` may use the table.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t s = 0; s < kShards; ++s) {
      for (const NodeRef& node : snapshot_shard(s)) visit(node);
    }
  }

 private:
  static constexpr unsigned kShardBits = 5;
  static constexpr std::size_t kShards = std::size_t{1} << kShardBits;

  // One stripe of the table. `slots`, `mask` and `count` are guarded by `lock`.
  struct alignas(64) Shard {
    mutable RwLock lock;
    std::uint32_t count = 0;
    std::uint64_t mask = 0;  // capacity - 1; slots == nullptr while 0 entries ever
    INode** slots = nullptr;
  };

  static Shard& shard_of(Shard* shards, InodeId id) noexcept { return shards[id & (kShards - 1)]; }
  static std::uint64_t home(const Shard& shard, InodeId id) noexcept {
    return (id >> kShardBits) & shard.mask;
  }
  static constexpr std::uint64_t kNoSlot = ~std::uint64_t{0};
  static std::uint64_t find_slot(const Shard& shard, InodeId id) noexcept;
  static void place(Shard& shard, INode* node) noexcept;
  static void grow(Shard& shard);
  std::vector<NodeRef> snapshot_shard(std::size_t s) const;

  mutable Shard shards_[kShards];
};

}  // namespace moxtile
