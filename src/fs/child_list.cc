#include "fs/child_list.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/panic.h"
#include "fs/inode.h"
#include "fs/table_load.h"

namespace moxtile {
namespace {

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

// User-space addresses fit in 48 bits on every 64-bit Linux target (larger
// ones are only handed out on explicit request), which leaves 16 bits of each
// index slot for a check on the name. The check takes the tag's upper half
// while the home slot takes its lower bits, so the two stay independent up
// to 65,536 slots and overlap only partly beyond.
constexpr unsigned kAddressBits = 48;
constexpr std::uint64_t kAddressMask = (std::uint64_t{1} << kAddressBits) - 1;
static_assert(sizeof(void*) == 8, "the name index packs addresses into 48 bits");

inline std::uint64_t check_of_tag(std::uint32_t tag) noexcept { return tag >> 16; }
inline std::uint64_t check_of(std::uint64_t slot) noexcept { return slot >> kAddressBits; }
inline INode* node_of(std::uint64_t slot) noexcept {
  return reinterpret_cast<INode*>(slot & kAddressMask);
}
inline std::uint64_t make_slot(const INode* node) noexcept {
  return (check_of_tag(node->name_tag()) << kAddressBits) | reinterpret_cast<std::uintptr_t>(node);
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
  const std::uint64_t check = check_of_tag(tag);
  for (std::uint32_t i = tag & h.index_mask;; i = (i + 1) & h.index_mask) {
    std::uint64_t slot = h.index[i];
    if (slot == 0) return nullptr;
    if (check_of(slot) == check) {
      INode* node = node_of(slot);
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
  if ((reinterpret_cast<std::uintptr_t>(child.get()) & ~kAddressMask) != 0) {
    panic("a node lies above the 48-bit address range the name index can hold");
  }
  INode* node = child.release();
  std::uint32_t pos = h.used++;
  h.items[pos] = node;
  node->set_list_position(pos);
  ++h.live;
  index_insert(node);
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
  const std::uint32_t pos = child->list_position();
  if (pos >= h.used || h.items[pos] != child) return NodeRef();
  const std::uint64_t wanted = make_slot(child);
  for (std::uint32_t i = child->name_tag() & h.index_mask;; i = (i + 1) & h.index_mask) {
    std::uint64_t slot = h.index[i];
    if (slot == 0) break;  // listed but not indexed cannot happen; keep the list intact
    if (slot != wanted) continue;
    index_erase(i);
    break;
  }
  INode* found = h.items[pos];
  h.items[pos] = nullptr;
  --h.live;
  std::uint32_t holes = h.used - h.live;
  if (holes >= kMinHolesToCompact && holes > h.live) compact();
  return NodeRef::adopt(found);
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
    heap_->items[i]->set_list_position(i);
    index_insert(heap_->items[i]);
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
  // The index holds addresses, not positions, so only the array and the
  // children's own positions change.
  Heap& h = *heap_;
  std::uint32_t out = 0;
  for (std::uint32_t i = 0; i < h.used; ++i) {
    INode* node = h.items[i];
    if (node == nullptr) continue;
    node->set_list_position(out);
    h.items[out++] = node;
  }
  h.used = out;
}

void ChildList::index_insert(INode* child) noexcept {
  Heap& h = *heap_;
  std::uint32_t i = child->name_tag() & h.index_mask;
  while (h.index[i] != 0) i = (i + 1) & h.index_mask;
  h.index[i] = make_slot(child);
}

void ChildList::index_erase(std::uint32_t at) noexcept {
  // Backward-shift deletion: pull later entries of the probe run into the
  // hole when that does not move them before their home slot.
  Heap& h = *heap_;
  std::uint32_t mask = h.index_mask;
  std::uint32_t hole = at;
  for (std::uint32_t j = (at + 1) & mask; h.index[j] != 0; j = (j + 1) & mask) {
    std::uint32_t home = node_of(h.index[j])->name_tag() & mask;
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
  std::uint32_t new_size = (h.index_mask + 1) * 2;
  void* grown = std::calloc(new_size, sizeof(std::uint64_t));
  if (grown == nullptr) throw std::bad_alloc();
  std::free(h.index);
  h.index = static_cast<std::uint64_t*>(grown);
  h.index_mask = new_size - 1;
  // In list order: the children were made one after another, so their
  // memory is walked mostly in order too.
  for (std::uint32_t i = 0; i < h.used; ++i) {
    if (h.items[i] != nullptr) index_insert(h.items[i]);
  }
}

}  // namespace moxtile
