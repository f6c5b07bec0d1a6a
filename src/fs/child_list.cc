#include "fs/child_list.h"

#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/panic.h"
#include "fs/epoch.h"
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

// Name hashing: 64x64->128-bit multiplies folded to 64 bits, two per short
// name, under a key drawn once per process.
constexpr std::uint64_t kFirst = 0xa0761d6478bd642fULL;
constexpr std::uint64_t kSecond = 0xe7037ed1a0b428dbULL;

__extension__ typedef unsigned __int128 Wide;

inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept {
  Wide r = static_cast<Wide>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}
inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline std::uint64_t load4(const char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Equal names, without a library call for the short names that are the rule.
inline bool same_name(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  if (n > 16) return std::memcmp(p, q, n) == 0;
  if (n >= 8) return load8(p) == load8(q) && load8(p + n - 8) == load8(q + n - 8);
  if (n >= 4) return load4(p) == load4(q) && load4(p + n - 4) == load4(q + n - 4);
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] != q[i]) return false;
  }
  return true;
}

// Loads a word that writers may be changing (they store it with publish()).
// seq_cst, not just acquire: the epochs need these loads after the walk's
// announcement (see epoch.cc). On x86-64 and AArch64 it is the same load.
template <class T>
T load_racing(const T& word) noexcept {
  return std::atomic_ref<T>(const_cast<T&>(word)).load(std::memory_order_seq_cst);
}
// Stores a word that a reader without the lock may be loading. seq_cst: an
// unlinking store must precede the epoch read of the retirement after it.
template <class T>
void publish(T& word, T value) noexcept {
  std::atomic_ref<T>(word).store(value, std::memory_order_seq_cst);
}

// Indexes of at least this many bytes are mapped directly, asking for huge
// pages: random lookups in a huge directory miss on the index first.
constexpr std::size_t kMappedIndexBytes = std::size_t{2} << 20;
// A replaced index at least this large is freed as soon as no walk can be
// probing it, rather than at its thread's next collection.
constexpr std::size_t kCollectIndexBytes = std::size_t{1} << 20;

std::size_t index_bytes(std::uint64_t size) noexcept {
  return (static_cast<std::size_t>(size) + 1) * sizeof(std::uint64_t);
}
std::size_t mapped_length(std::size_t bytes) noexcept {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// A name index of `size` slots, zeroed, after one word holding size - 1.
std::uint64_t* new_index(std::uint32_t size) noexcept {
  const std::size_t bytes = index_bytes(size);
  void* p;
  if (bytes >= kMappedIndexBytes) {
    p = mmap(nullptr, mapped_length(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
             0);
    if (p == MAP_FAILED) return nullptr;
    madvise(p, mapped_length(bytes), MADV_HUGEPAGE);  // a hint
  } else {
    p = std::calloc(size + std::size_t{1}, sizeof(std::uint64_t));
    if (p == nullptr) return nullptr;
  }
  auto* base = static_cast<std::uint64_t*>(p);
  base[0] = size - 1;
  return base + 1;
}
void free_index(void* slots) noexcept {
  std::uint64_t* base = static_cast<std::uint64_t*>(slots) - 1;
  const std::size_t bytes = index_bytes(base[0] + 1);
  if (bytes >= kMappedIndexBytes) {
    munmap(base, mapped_length(bytes));
  } else {
    std::free(base);
  }
}

// Marks the list as changing for its scope: odd count while it lasts. Only
// writers (holding the directory's lock exclusively) come here. No fence:
// every store a reader can load is a release (publish()) after the odd count,
// so a reader that loads one of them also sees the count odd or moved on.
class Changing final {
 public:
  explicit Changing(std::atomic<std::uint32_t>& count) noexcept : count_(count) {
    count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  ~Changing() {
    count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  Changing(const Changing&) = delete;
  Changing& operator=(const Changing&) = delete;

 private:
  std::atomic<std::uint32_t>& count_;
};

std::uint64_t hash_key() noexcept {
  std::uint64_t key = 0;
  // Without the kernel's randomness the key still differs by address and time.
  if (getrandom(&key, sizeof key, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof key)) {
    key = reinterpret_cast<std::uintptr_t>(&key) ^
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  return fold(key ^ kFirst, kSecond) | 1;
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
  // NOLINTNEXTLINE(performance-no-int-to-ptr): a tagged word holds the pointer
  return reinterpret_cast<INode*>(slot & kAddressMask);
}
inline std::uint64_t make_slot(const INode* node) noexcept {
  return (check_of_tag(node->name_tag()) << kAddressBits) | reinterpret_cast<std::uintptr_t>(node);
}

}  // namespace

std::uint64_t hash_name(std::string_view name) noexcept {
  // Keyed per process, so that names picked to collide in one run (an
  // untrusted program choosing file names) do not collide in another.
  static const std::uint64_t key = hash_key();
  const char* p = name.data();
  std::size_t n = name.size();
  std::uint64_t h = key ^ (n * 0x100000001b3ULL);
  // 16 bytes per round, the last (possibly overlapping) 16 in the final one.
  for (; n > 16; p += 16, n -= 16) h = fold(load8(p) ^ h, load8(p + 8) ^ kSecond);
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n >= 8) {
    a = load8(p);
    b = load8(p + n - 8);
  } else if (n >= 4) {
    a = load4(p);
    b = load4(p + n - 4);
  } else if (n > 0) {
    const auto byte = [&](std::size_t i) {
      return std::uint64_t{static_cast<unsigned char>(p[i])};
    };
    a = byte(0) << 16 | byte(n / 2) << 8 | byte(n - 1);
  }
  return fold(fold(a ^ kFirst, b ^ h) ^ kSecond, h ^ kFirst);
}

ChildList::~ChildList() {
  if (!on_heap()) {
    for (std::uint32_t i = 0; i < inline_size_; ++i) NodeRef::adopt(inline_at(i));
    return;
  }
  Heap* h = heap();
  for (std::uint32_t i = 0; i < h->used; ++i) {
    if (h->items[i] != nullptr) NodeRef::adopt(h->items[i]);
  }
  std::free(static_cast<void*>(h->items));
  free_index(h->index);
  delete h;
}

INode* ChildList::find(std::string_view name) const noexcept {
  // A small list is searched without hashing at all.
  return find(name, on_heap() ? name_tag_of(name) : 0);
}

INode* ChildList::find(std::string_view name, std::uint32_t tag) const noexcept {
  if (!on_heap()) {
    for (std::uint32_t i = 0; i < inline_size_; ++i) {
      if (same_name(inline_at(i)->name(), name)) return inline_at(i);
    }
    return nullptr;
  }
  INode* found = nullptr;
  probe(heap()->index, name, tag, found);  // under the lock nothing moves, so it never gives up
  return found;
}

bool ChildList::probe(const std::uint64_t* index, std::string_view name, std::uint32_t tag,
                      INode*& found) noexcept {
  const std::uint64_t check = check_of_tag(tag);
  const auto mask = static_cast<std::uint32_t>(index[-1]);
  // Bounded: entries moving under a racing reader must not keep it probing.
  for (std::uint32_t i = tag & mask, probes = 0;; i = (i + 1) & mask) {
    if (probes++ > mask) return false;
    std::uint64_t slot = load_racing(index[i]);
    if (slot == 0) return true;
    if (check_of(slot) != check) continue;
    INode* child = node_of(slot);
    if (same_name(child->name(), name)) {
      found = child;
      return true;
    }
  }
}

bool ChildList::find_without_lock(std::string_view name, INode*& found) const noexcept {
  // A seqlock read: what is found counts only if the change count was even
  // and is the same after. Every word loaded is a child (the epochs keep it
  // allocated even if it has just been taken out), 0, or the marked Heap*
  // of a list caught moving, so nothing is followed that is not a node.
  // The loads are acquires, so the count's second load stays after them
  // without a fence.
  const std::uint32_t before = changes_.load(std::memory_order_acquire);
  if ((before & 1) != 0) return false;
  auto unchanged = [&] { return changes_.load(std::memory_order_relaxed) == before; };
  found = nullptr;
  const std::uint32_t size = load_racing(inline_size_);
  if (size != kOnHeap) {
    for (std::uint32_t i = 0; i < size && i < kInlineCapacity; ++i) {
      const std::uintptr_t word = load_racing(words_[i]);
      if ((word & kHeapMark) != 0) return false;
      // NOLINTNEXTLINE(performance-no-int-to-ptr): a tagged word holds the pointer
      auto* child = reinterpret_cast<INode*>(word);
      if (same_name(child->name(), name)) {
        found = child;
        break;
      }
    }
    return unchanged();
  }
  const auto* h = reinterpret_cast<const Heap*>(  // NOLINT(performance-no-int-to-ptr): tagged word
      load_racing(words_[0]) & ~kHeapMark);
  if (!probe(load_racing(h->index), name, name_tag_of(name), found)) return false;
  return unchanged();
}

void ChildList::append(NodeRef child) {
  Changing change(changes_);
  if (!on_heap()) {
    if (inline_size_ < kInlineCapacity) {
      publish(words_[inline_size_], reinterpret_cast<std::uintptr_t>(child.release()));
      publish(inline_size_, inline_size_ + 1);
      return;
    }
    move_to_heap();
  }
  Heap& h = *heap();
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
  Changing change(changes_);
  if (!on_heap()) {
    for (std::uint32_t i = 0; i < inline_size_; ++i) {
      if (inline_at(i) != child) continue;
      INode* found = inline_at(i);
      for (std::uint32_t j = i; j + 1 < inline_size_; ++j) publish(words_[j], words_[j + 1]);
      publish(inline_size_, inline_size_ - 1);
      return NodeRef::adopt(found);
    }
    return NodeRef();
  }
  Heap& h = *heap();
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
  heap->index = new_index(heap->index_mask + 1);
  if (heap->items == nullptr || heap->index == nullptr) {
    std::free(static_cast<void*>(heap->items));
    if (heap->index != nullptr) free_index(heap->index);
    throw std::bad_alloc();
  }
  heap->used = heap->live = kInlineCapacity;
  for (std::uint32_t i = 0; i < kInlineCapacity; ++i) {
    INode* node = inline_at(i);
    heap->items[i] = node;
    node->set_list_position(i);
  }
  Heap* h = heap.release();
  publish(words_[0], reinterpret_cast<std::uintptr_t>(h) | kHeapMark);
  publish(inline_size_, kOnHeap);
  for (std::uint32_t i = 0; i < kInlineCapacity; ++i) index_insert(h->items[i]);
}

void ChildList::make_room() {
  Heap& h = *heap();
  if (h.used - h.live >= h.capacity / kHoleShareToCompactOnAppend) {
    compact();
    if (h.used < h.capacity) return;
  }
  if (h.capacity > UINT32_MAX / 2) throw std::bad_alloc();
  std::uint32_t capacity = h.capacity * 2;
  // Only writers and lock holders read `items`, so it may move at once.
  void* p = std::realloc(static_cast<void*>(h.items), capacity * sizeof(INode*));
  if (p == nullptr) throw std::bad_alloc();
  h.items = static_cast<INode**>(p);
  h.capacity = capacity;
}

void ChildList::compact() noexcept {
  // The index holds addresses, not positions, so only the array and the
  // children's own positions change.
  Heap& h = *heap();
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
  Heap& h = *heap();
  std::uint32_t i = child->name_tag() & h.index_mask;
  while (h.index[i] != 0) i = (i + 1) & h.index_mask;
  publish(h.index[i], make_slot(child));
}

void ChildList::index_erase(std::uint32_t at) noexcept {
  // Backward-shift deletion: pull later entries of the probe run into the
  // hole when that does not move them before their home slot.
  Heap& h = *heap();
  std::uint32_t mask = h.index_mask;
  std::uint32_t hole = at;
  for (std::uint32_t j = (at + 1) & mask; h.index[j] != 0; j = (j + 1) & mask) {
    std::uint32_t home = node_of(h.index[j])->name_tag() & mask;
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      publish(h.index[hole], h.index[j]);
      hole = j;
    }
  }
  publish(h.index[hole], std::uint64_t{0});
}

void ChildList::grow_index() {
  Heap& h = *heap();
  if (h.index_mask >= UINT32_MAX / 2) throw std::bad_alloc();
  std::uint32_t new_size = (h.index_mask + 1) * 2;
  std::uint64_t* grown = new_index(new_size);
  if (grown == nullptr) throw std::bad_alloc();
  std::uint64_t* old = h.index;
  publish(h.index, grown);
  h.index_mask = new_size - 1;
  // A reader without the lock may still be probing the old one. A large one
  // is freed at once when none is (it is as large as all the smaller ones
  // before it together); small ones wait for the thread's next collection.
  epoch::retire(old, free_index);
  if (index_bytes(new_size / 2) >= kCollectIndexBytes) epoch::collect();
  // In list order: the children were made one after another, so their
  // memory is walked mostly in order too.
  for (std::uint32_t i = 0; i < h.used; ++i) {
    if (h.items[i] != nullptr) index_insert(h.items[i]);
  }
}

}  // namespace moxtile
