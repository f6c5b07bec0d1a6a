#include "fs/child_list.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "fs/inode.h"
#include "fs/table_load.h"

namespace moxtile {
namespace {

constexpr std::uint64_t kPosMask = 0xffffffffu;

// Removals squeeze the holes out once there are at least this many of them
// and they outnumber the children: each compaction then pays for itself.
constexpr std::uint32_t kMinHolesToCompact = 16;
// An append that finds the array full compacts instead of growing when at
// least 1/kHoleShareToCompactOnAppend of the slots are holes.
constexpr std::uint32_t kHoleShareToCompactOnAppend = 4;

inline std::uint64_t mix(std::uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

inline std::uint32_t tag_of(std::uint64_t slot) noexcept {
  return static_cast<std::uint32_t>(slot >> 32);
}
inline std::uint32_t pos_of(std::uint64_t slot) noexcept {
  return static_cast<std::uint32_t>((slot & kPosMask) - 1);
}
inline std::uint64_t make_slot(std::uint32_t tag, std::uint32_t pos) noexcept {
  return (static_cast<std::uint64_t>(tag) << 32) | (static_cast<std::uint64_t>(pos) + 1);
}

}  // namespace

std::uint64_t hash_name(std::string_view name) noexcept {
  std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ (name.size() * 0x100000001b3ULL);
  const char* p = name.data();
  std::size_t n = name.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t k;
    std::memcpy(&k, p, 8);
    h = (h ^ mix(k)) * 0x9ddfea08eb382d69ULL;
  }
  if (n > 0) {
    std::uint64_t k = 0;
    std::memcpy(&k, p, n);
    h = (h ^ mix(k)) * 0x9ddfea08eb382d69ULL;
  }
  return mix(h);
}

ChildList::~ChildList() {
  if (!on_heap()) {
    for (std::uint32_t i = 0; i < inline_size_; ++i) NodeRef::adopt(inline_[i]);
    return;
  }
  for (std::uint32_t i = 0; i < heap_->used; ++i) {
    if (heap_->items[i] != nullptr) NodeRef::adopt(heap_->items[i]);
  }
  std::free(heap_->items);
  std::free(heap_->index);
  delete heap_;
}

INode* ChildList::find(std::string_view name) const noexcept {
  // A small list is searched without hashing at all.
  return find(name, on_heap() ? name_tag_of(name) : 0);
}

INode* ChildList::find(std::string_view name, std::uint32_t tag) const noexcept {
  if (!on_heap()) {
    for (std::uint32_t i = 0; i < inline_size_; ++i) {
      if (inline_[i]->name() == name) return inline_[i];
    }
    return nullptr;
  }
  const Heap& h = *heap_;
  for (std::uint32_t i = tag & h.index_mask;; i = (i + 1) & h.index_mask) {
    std::uint64_t slot = h.index[i];
    if (slot == 0) return nullptr;
    if (tag_of(slot) == tag) {
      INode* node = h.items[pos_of(slot)];
      if (node->name() == name) return node;
    }
  }
}

void ChildList::append(NodeRef child) {
  if (!on_heap()) {
    if (inline_size_ < kInlineCapacity) {
      inline_[inline_size_++] = child.release();
      return;
    }
    move_to_heap();
  }
  Heap& h = *heap_;
  if (h.used == h.capacity) make_room();
  if (exceeds_max_load(std::uint64_t{h.live} + 1, std::uint64_t{h.index_mask} + 1)) grow_index();
  INode* node = child.release();
  std::uint32_t pos = h.used++;
  h.items[pos] = node;
  ++h.live;
  index_insert(make_slot(node->name_tag(), pos));
}

NodeRef ChildList::remove(const INode* child) noexcept {
  if (!on_heap()) {
    for (std::uint32_t i = 0; i < inline_size_; ++i) {
      if (inline_[i] != child) continue;
      INode* found = inline_[i];
      std::memmove(&inline_[i], &inline_[i + 1], (inline_size_ - i - 1) * sizeof(INode*));
      --inline_size_;
      return NodeRef::adopt(found);
    }
    return NodeRef();
  }
  Heap& h = *heap_;
  std::uint32_t tag = child->name_tag();
  for (std::uint32_t i = tag & h.index_mask;; i = (i + 1) & h.index_mask) {
    std::uint64_t slot = h.index[i];
    if (slot == 0) return NodeRef();
    if (tag_of(slot) != tag || h.items[pos_of(slot)] != child) continue;
    INode* found = h.items[pos_of(slot)];
    h.items[pos_of(slot)] = nullptr;
    --h.live;
    index_erase(i);
    std::uint32_t holes = h.used - h.live;
    if (holes >= kMinHolesToCompact && holes > h.live) compact();
    return NodeRef::adopt(found);
  }
}

void ChildList::move_to_heap() {
  auto heap = std::make_unique<Heap>();
  heap->capacity = 2 * kInlineCapacity;
  heap->index_mask = 2 * kInlineCapacity - 1;
  heap->items = static_cast<INode**>(std::malloc(heap->capacity * sizeof(INode*)));
  heap->index =
      static_cast<std::uint64_t*>(std::calloc(heap->index_mask + 1, sizeof(std::uint64_t)));
  if (heap->items == nullptr || heap->index == nullptr) {
    std::free(heap->items);
    std::free(heap->index);
    throw std::bad_alloc();
  }
  std::memcpy(heap->items, inline_, sizeof(inline_));
  heap->used = heap->live = kInlineCapacity;
  heap_ = heap.release();
  inline_size_ = kOnHeap;
  for (std::uint32_t i = 0; i < kInlineCapacity; ++i) {
    index_insert(make_slot(heap_->items[i]->name_tag(), i));
  }
}

void ChildList::make_room() {
  Heap& h = *heap_;
  if (h.used - h.live >= h.capacity / kHoleShareToCompactOnAppend) {
    compact();
    if (h.used < h.capacity) return;
  }
  if (h.capacity > UINT32_MAX / 2) throw std::bad_alloc();
  std::uint32_t capacity = h.capacity * 2;
  void* p = std::realloc(h.items, capacity * sizeof(INode*));
  if (p == nullptr) throw std::bad_alloc();
  h.items = static_cast<INode**>(p);
  h.capacity = capacity;
}

void ChildList::compact() noexcept {
  Heap& h = *heap_;
  // Without memory for the position map the holes simply stay a while longer.
  std::unique_ptr<std::uint32_t[]> new_pos(new (std::nothrow) std::uint32_t[h.used]);
  if (!new_pos) return;
  std::uint32_t out = 0;
  for (std::uint32_t i = 0; i < h.used; ++i) {
    new_pos[i] = out;
    if (h.items[i] != nullptr) h.items[out++] = h.items[i];
  }
  h.used = out;
  // Compaction keeps the order, so each entry keeps its hash slot; only the
  // position it points at moves.
  for (std::uint32_t i = 0; i <= h.index_mask; ++i) {
    if (h.index[i] != 0) h.index[i] = make_slot(tag_of(h.index[i]), new_pos[pos_of(h.index[i])]);
  }
}

void ChildList::index_insert(std::uint64_t slot) noexcept {
  Heap& h = *heap_;
  std::uint32_t i = tag_of(slot) & h.index_mask;
  while (h.index[i] != 0) i = (i + 1) & h.index_mask;
  h.index[i] = slot;
}

void ChildList::index_erase(std::uint32_t at) noexcept {
  // Backward-shift deletion: pull later entries of the probe run into the
  // hole when that does not move them before their home slot.
  Heap& h = *heap_;
  std::uint32_t mask = h.index_mask;
  std::uint32_t hole = at;
  for (std::uint32_t j = (at + 1) & mask; h.index[j] != 0; j = (j + 1) & mask) {
    std::uint32_t home = tag_of(h.index[j]) & mask;
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      h.index[hole] = h.index[j];
      hole = j;
    }
  }
  h.index[hole] = 0;
}

void ChildList::grow_index() {
  Heap& h = *heap_;
  if (h.index_mask >= UINT32_MAX / 2) throw std::bad_alloc();
  std::uint32_t old_size = h.index_mask + 1;
  std::uint64_t* old = h.index;
  void* grown = std::calloc(std::size_t{old_size} * 2, sizeof(std::uint64_t));
  if (grown == nullptr) throw std::bad_alloc();
  h.index = static_cast<std::uint64_t*>(grown);
  h.index_mask = old_size * 2 - 1;
  for (std::uint32_t i = 0; i < old_size; ++i) {
    if (old[i] != 0) index_insert(old[i]);
  }
  std::free(old);
}

}  // namespace moxtile
