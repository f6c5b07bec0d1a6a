#include "fs/inode_table.h"

#include <cstdlib>
#include <new>

namespace moxtile {
namespace {

constexpr std::uint64_t kInitialCapacity = 8;

}  // namespace

InodeTable::~InodeTable() {
  for (Shard& shard : shards_) {
    for (std::uint64_t i = 0; shard.slots != nullptr && i <= shard.mask; ++i) {
      if (shard.slots[i] != nullptr) NodeRef::adopt(shard.slots[i]);
    }
    std::free(shard.slots);
  }
}

NodeRef InodeTable::get(InodeId id) const {
  Shard& shard = shard_of(shards_, id);
  SharedGuard guard(shard.lock);
  if (shard.slots == nullptr) return NodeRef();
  for (std::uint64_t i = home(shard, id);; i = (i + 1) & shard.mask) {
    INode* node = shard.slots[i];
    if (node == nullptr) return NodeRef();
    if (node->id() == id) return NodeRef::share(node);
  }
}

NodeRef InodeTable::insert(NodeRef node) {
  Shard& shard = shard_of(shards_, node->id());
  ExclusiveGuard guard(shard.lock);
  if (shard.slots == nullptr || (shard.count + 1) * 5 > (shard.mask + 1) * 4) grow(shard);
  InodeId id = node->id();
  for (std::uint64_t i = home(shard, id);; i = (i + 1) & shard.mask) {
    INode* existing = shard.slots[i];
    if (existing == nullptr) {
      shard.slots[i] = node.release();
      ++shard.count;
      return NodeRef();
    }
    if (existing->id() == id) {
      shard.slots[i] = node.release();
      return NodeRef::adopt(existing);
    }
  }
}

NodeRef InodeTable::remove(InodeId id) {
  Shard& shard = shard_of(shards_, id);
  ExclusiveGuard guard(shard.lock);
  if (shard.slots == nullptr) return NodeRef();
  std::uint64_t mask = shard.mask;
  std::uint64_t i = home(shard, id);
  for (;; i = (i + 1) & mask) {
    if (shard.slots[i] == nullptr) return NodeRef();
    if (shard.slots[i]->id() == id) break;
  }
  NodeRef removed = NodeRef::adopt(shard.slots[i]);
  --shard.count;
  // Backward-shift deletion: pull later entries of the probe run into the
  // hole unless that would put them before their home slot.
  std::uint64_t hole = i;
  for (std::uint64_t j = (i + 1) & mask; shard.slots[j] != nullptr; j = (j + 1) & mask) {
    std::uint64_t h = home(shard, shard.slots[j]->id());
    if (((j - h) & mask) >= ((j - hole) & mask)) {
      shard.slots[hole] = shard.slots[j];
      hole = j;
    }
  }
  shard.slots[hole] = nullptr;
  return removed;
}

std::size_t InodeTable::size() const {
  std::size_t total = 0;
  for (const Shard& shard : shards_) {
    SharedGuard guard(shard.lock);
    total += shard.count;
  }
  return total;
}

// REQUIRES: shard.lock held exclusively.
void InodeTable::grow(Shard& shard) {
  std::uint64_t capacity = shard.slots == nullptr ? kInitialCapacity : (shard.mask + 1) * 2;
  auto* slots = static_cast<INode**>(std::calloc(capacity, sizeof(INode*)));
  if (slots == nullptr) throw std::bad_alloc();
  INode** old = shard.slots;
  std::uint64_t old_capacity = old == nullptr ? 0 : shard.mask + 1;
  shard.slots = slots;
  shard.mask = capacity - 1;
  for (std::uint64_t k = 0; k < old_capacity; ++k) {
    if (old[k] == nullptr) continue;
    std::uint64_t i = home(shard, old[k]->id());
    while (slots[i] != nullptr) i = (i + 1) & shard.mask;
    slots[i] = old[k];
  }
  std::free(old);
}

std::vector<NodeRef> InodeTable::snapshot_shard(std::size_t s) const {
  std::vector<NodeRef> nodes;
  const Shard& shard = shards_[s];
  SharedGuard guard(shard.lock);
  nodes.reserve(shard.count);
  for (std::uint64_t i = 0; shard.slots != nullptr && i <= shard.mask; ++i) {
    if (shard.slots[i] != nullptr) nodes.push_back(NodeRef::share(shard.slots[i]));
  }
  return nodes;
}

}  // namespace moxtile
