// ChildList: the children of one directory, in creation order.
//
// Each entry is a counted reference to the child node, so a listed child is
// always alive. Up to 8 children live inline and are searched linearly. Once a
// directory outgrows that, the children move to a heap array and get a name
// index: open addressing keyed by a hash of the name, each slot holding the
// child's address beside 16 more bits of that hash, so a probe that does not
// match is almost always turned away without touching the child. Each child
// knows its position in the array (INode::list_position), so removal needs
// no search; removed entries become holes that are squeezed out in bulk, so
// removing children one after another stays linear overall.
//
// Thread safety: guarded by the directory node's lock (shared for
// find/for_each, exclusive for append/remove); that lock also guards the list
// positions it writes into the children. Path walks may also look a name up
// with no lock at all (find_without_lock, inside an epoch::ReadGuard): every
// word such a reader loads is stored atomically, a sequence count tells it
// when a writer got in the way, and a replaced name index is retired through
// the epochs rather than freed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace moxtile {

class INode;
class NodeRef;

// 64-bit hash of a name's bytes, keyed per process.
std::uint64_t hash_name(std::string_view name) noexcept;
// Upper 32 bits of hash_name(name): what the name index keys on.
inline std::uint32_t name_tag_of(std::string_view name) noexcept {
  return static_cast<std::uint32_t>(hash_name(name) >> 32);
}

class ChildList final {
 public:
  static constexpr std::uint32_t kInlineCapacity = 8;

  ChildList() noexcept {}
  ~ChildList();
  ChildList(const ChildList&) = delete;
  ChildList& operator=(const ChildList&) = delete;

  std::size_t size() const noexcept { return on_heap() ? heap()->live : inline_size_; }
  bool empty() const noexcept { return size() == 0; }

  // The child called `name` (bytes compared exactly), borrowed; nullptr if none.
  INode* find(std::string_view name) const noexcept;
  // The same with the name's tag (name_tag_of(name)) already at hand.
  INode* find(std::string_view name, std::uint32_t tag) const noexcept;
  // The same without the directory's lock. False when a concurrent change
  // got in the way (then look again under the lock); else `found` is the
  // child or nullptr. REQUIRES: an epoch::ReadGuard on this thread, and the
  // directory kept allocated by it.
  bool find_without_lock(std::string_view name, INode*& found) const noexcept;
  // REQUIRES: no child of that name is present. May throw std::bad_alloc,
  // but only before the child can be seen.
  void append(NodeRef child);
  // Takes `child` out (keeping the order of the rest) and hands back the
  // list's reference to it; an empty reference when it was not listed.
  // Never throws.
  NodeRef remove(const INode* child) noexcept;

  // Calls visit(INode*) for each child in order; stops when it returns false.
  template <class Visit>
  void for_each(Visit&& visit) const {
    if (!on_heap()) {
      for (std::uint32_t i = 0; i < inline_size_; ++i) {
        if (!visit(inline_at(i))) return;
      }
      return;
    }
    const Heap& h = *heap();
    for (std::uint32_t i = 0; i < h.used; ++i) {
      if (h.items[i] != nullptr && !visit(h.items[i])) return;
    }
  }

 private:
  // The heap form: `items` holds `used` slots, of which `live` are children
  // and the rest holes (nullptr). `index` has index_mask + 1 slots, each 0
  // (empty) or (upper 16 bits of the name tag) << 48 | (the child's address);
  // a child's home slot is its name tag & index_mask. index[-1] holds
  // index_mask too, so that a reader without the lock gets both at once.
  struct Heap {
    INode** items;
    std::uint64_t* index;
    std::uint32_t used;
    std::uint32_t capacity;
    std::uint32_t live;
    std::uint32_t index_mask;
  };
  static constexpr std::uint32_t kOnHeap = UINT32_MAX;
  // Set in words_[0] beside the Heap*, so that a reader without the lock that
  // catches the list moving never takes that word for a child.
  static constexpr std::uintptr_t kHeapMark = 1;

  bool on_heap() const noexcept { return inline_size_ == kOnHeap; }
  // The words are tagged pointers: the casts back are what they are for.
  INode* inline_at(std::uint32_t i) const noexcept {
    return reinterpret_cast<INode*>(words_[i]);  // NOLINT(performance-no-int-to-ptr)
  }
  Heap* heap() const noexcept {
    return reinterpret_cast<Heap*>(words_[0] & ~kHeapMark);  // NOLINT(performance-no-int-to-ptr)
  }
  // Looks `name` up in a name index (its mask at index[-1]). False when it
  // gave up (a reader without the lock, with entries moving under it); else
  // `found` is the child or stays as it was.
  static bool probe(const std::uint64_t* index, std::string_view name, std::uint32_t tag,
                    INode*& found) noexcept;
  void move_to_heap();
  void make_room();
  void compact() noexcept;
  void index_insert(INode* child) noexcept;
  void index_erase(std::uint32_t at) noexcept;
  void grow_index();

  // First, so that a walk finds them on the cache line of the first children.
  std::atomic<std::uint32_t> changes_{0};  // odd while a writer changes the list
  std::uint32_t inline_size_ = 0;          // kOnHeap once the children live on the heap
  // The children (INode*) while the list is inline; words_[0] is the Heap*
  // | kHeapMark once it is not. Plain words, so one atomic view serves both.
  std::uintptr_t words_[kInlineCapacity] = {};
};

}  // namespace moxtile
