#include "fs/inode_table.h"

#include <cstdlib>
#include <new>
#include <utility>

#include "fs/table_load.h"

namespace moxtile {
namespace {

constexpr std::uint64_t kInitialCapacity = 8;

}  // namespace

InodeTable::~InodeTable() {
  for (Shard& shard : shards_) {
    for (std::uint64_t i = 0; shard.slots != nullptr && i <= shard.mask; ++i) {
      if (shard.slots[i] != nullptr) NodeRef::adopt(shard.slots[i]);
    }
    std::free(static_cast<void*>(shard.slots));
  }
}

// Robin Hood linear probing: an entry never sits further from its home slot
// than an entry it passed, so a search stops at the first entry closer to home
// than the probe is, and a removal shifts back only up to the first entry that
// sits at its home. Sequential ids mostly sit at home, so neither ever walks a
// whole cluster.
// REQUIRES: shard.lock held (any mode) and shard.slots != nullptr.
std::uint64_t InodeTable::find_slot(const Shard& shard, InodeId id) noexcept {
  std::uint64_t mask = shard.mask;
  std::uint64_t i = home(shard, id);
  for (std::uint64_t distance = 0;; i = (i + 1) & mask, ++distance) {
    const INode* node = shard.slots[i];
    if (node == nullptr) return kNoSlot;
    if (node->id() == id) return i;
    if (((i - home(shard, node->id())) & mask) < distance) return kNoSlot;
  }
}

// REQUIRES: shard.lock held exclusively, room for one more, `node` absent.
void InodeTable::place(Shard& shard, INode* node) noexcept {
  std::uint64_t mask = shard.mask;
  std::uint64_t i = home(shard, node->id());
  for (std::uint64_t distance = 0;; i = (i + 1) & mask, ++distance) {
    INode*& slot = shard.slots[i];
    if (slot == nullptr) {
      slot = node;
      return;
    }
    std::uint64_t resident = (i - home(shard, slot->id())) & mask;
    if (resident < distance) {
      std::swap(slot, node);
      distance = resident;
    }
  }
}

NodeRef InodeTable::get(InodeId id) const {
  Shard& shard = shard_of(shards_, id);
  SharedGuard guard(shard.lock);
  if (shard.slots == nullptr) return NodeRef();
  std::uint64_t i = find_slot(shard, id);
  return i == kNoSlot ? NodeRef() : NodeRef::share(shard.slots[i]);
}

NodeRef InodeTable::insert(NodeRef node) {
  Shard& shard = shard_of(shards_, node->id());
  ExclusiveGuard guard(shard.lock);
  if (shard.slots != nullptr) {
    std::uint64_t i = find_slot(shard, node->id());
    if (i != kNoSlot) {
      INode* existing = shard.slots[i];
      shard.slots[i] = node.release();
      return NodeRef::adopt(existing);
    }
  }
  if (shard.slots == nullptr || exceeds_max_load(shard.count + 1, shard.mask + 1)) grow(shard);
  place(shard, node.release());
  ++shard.count;
  return NodeRef();
}

NodeRef InodeTable::remove(InodeId id) {
  Shard& shard = shard_of(shards_, id);
  ExclusiveGuard guard(shard.lock);
  if (shard.slots == nullptr) return NodeRef();
  std::uint64_t hole = find_slot(shard, id);
  if (hole == kNoSlot) return NodeRef();
  NodeRef removed = NodeRef::adopt(shard.slots[hole]);
  --shard.count;
  // Backward shift: pull the rest of the run one slot closer to home, up to
  // the first entry that already sits at its home.
  std::uint64_t mask = shard.mask;
  for (std::uint64_t j = (hole + 1) & mask;; j = (j + 1) & mask) {
    INode* next = shard.slots[j];
    if (next == nullptr || home(shard, next->id()) == j) break;
    shard.slots[hole] = next;
    hole = j;
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
    if (old[k] != nullptr) place(shard, old[k]);
  }
  std::free(static_cast<void*>(old));
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
