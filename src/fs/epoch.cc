#include "fs/epoch.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace moxtile::epoch {
namespace {

// Ordering, with no fences (ThreadSanitizer does not model them): a reader
// announces, then loads links; a writer unlinks (ChildList's stores), then
// reads the epoch. All four are seq_cst, so in their one total order either
// the reader's loads come after the unlinking (it never sees the object) or
// its announcement comes before the epoch read (then the epoch cannot pass
// the retirement's + 1 while it reads). The record list and the checks of
// try_advance are in the same order, so no announcement is missed.

// A thread tries to free its retired objects every this many retirements.
constexpr std::size_t kCollectEvery = 64;

struct Retired {
  void* object;
  void (*destroy)(void*);
  std::uint64_t epoch;  // the global epoch when it was retired
};

// One per thread that has ever read; reused by later threads, never freed.
struct alignas(64) Record {
  std::atomic<std::uint64_t> announced{0};  // 0 outside a guard, else the epoch seen on entry
  std::atomic<bool> taken{false};           // owned by a live thread
  Record* next = nullptr;                   // set before the record is published
};

std::atomic<std::uint64_t> g_epoch{1};
std::atomic<Record*> g_records{nullptr};

// What ended threads left behind; guarded by orphans_mutex().
std::mutex& orphans_mutex() {
  static std::mutex* const m = new std::mutex();  // never destroyed: used at exit
  return *m;
}
std::vector<Retired>& orphans() {
  static auto* const v = new std::vector<Retired>();
  return *v;
}
std::atomic<bool> g_have_orphans{false};

Record* take_record() {
  for (Record* r = g_records.load(std::memory_order_acquire); r != nullptr; r = r->next) {
    bool free = false;
    if (!r->taken.load(std::memory_order_relaxed) &&
        r->taken.compare_exchange_strong(free, true, std::memory_order_acquire)) {
      return r;
    }
  }
  auto* r = new Record();
  r->taken.store(true, std::memory_order_relaxed);
  Record* head = g_records.load(std::memory_order_relaxed);
  do {
    r->next = head;
  } while (!g_records.compare_exchange_weak(head, r, std::memory_order_seq_cst,
                                            std::memory_order_relaxed));
  return r;
}

void hand_to_orphans(std::vector<Retired>& retired) noexcept {
  if (retired.empty()) return;
  std::lock_guard<std::mutex> hold(orphans_mutex());
  try {
    orphans().insert(orphans().end(), retired.begin(), retired.end());
  } catch (const std::bad_alloc&) {
    return;  // kept out of reach forever: a leak, never a use after free
  }
  retired.clear();
  g_have_orphans.store(true, std::memory_order_release);
}

struct ThreadState {
  Record* record = nullptr;
  unsigned depth = 0;
  bool ended = false;
  std::vector<Retired> retired;

  ~ThreadState() {
    hand_to_orphans(retired);
    if (record != nullptr) record->taken.store(false, std::memory_order_release);
    record = nullptr;
    ended = true;
  }
};
thread_local ThreadState t_state;

// Moves the epoch on by one if every thread inside a guard has seen it.
void try_advance() noexcept {
  std::uint64_t now = g_epoch.load(std::memory_order_seq_cst);
  for (Record* r = g_records.load(std::memory_order_seq_cst); r != nullptr; r = r->next) {
    std::uint64_t seen = r->announced.load(std::memory_order_seq_cst);
    if (seen != 0 && seen != now) return;
  }
  g_epoch.compare_exchange_strong(now, now + 1, std::memory_order_seq_cst);
}

// Takes the entries of `from` that are safe to free at epoch `now` into `out`.
// Throws std::bad_alloc (before changing anything) when `out` cannot grow.
void take_safe(std::vector<Retired>& from, std::uint64_t now, std::vector<Retired>& out) {
  out.reserve(out.size() + from.size());
  std::size_t kept = 0;
  for (Retired& r : from) {
    if (r.epoch + 2 <= now) {
      out.push_back(r);
    } else {
      from[kept++] = r;
    }
  }
  from.resize(kept);
}

void destroy_all(const std::vector<Retired>& batch) noexcept {
  for (const Retired& r : batch) r.destroy(r.object);
}

}  // namespace

ReadGuard::ReadGuard() noexcept : thread_(&t_state) {
  ThreadState& t = *static_cast<ThreadState*>(thread_);
  if (t.depth++ != 0 || t.ended) return;
  if (t.record == nullptr) t.record = take_record();
  // Both seq_cst: the announcement precedes every load made under it.
  t.record->announced.store(g_epoch.load(std::memory_order_seq_cst), std::memory_order_seq_cst);
}

ReadGuard::~ReadGuard() {
  ThreadState& t = *static_cast<ThreadState*>(thread_);
  if (--t.depth != 0 || t.ended) return;
  t.record->announced.store(0, std::memory_order_release);
}

void retire(void* object, void (*destroy)(void*)) noexcept {
  // seq_cst: read after the (seq_cst) unlinking in the one total order.
  Retired entry{object, destroy, g_epoch.load(std::memory_order_seq_cst)};
  ThreadState& t = t_state;
  if (!t.ended) {
    try {
      t.retired.push_back(entry);
      if (t.retired.size() % kCollectEvery == 0) collect();
      return;
      // NOLINTNEXTLINE(bugprone-empty-catch): the shared list below takes it
    } catch (const std::bad_alloc&) {
    }
  }
  std::vector<Retired> one;
  try {
    one.push_back(entry);
  } catch (const std::bad_alloc&) {
    return;  // leaked rather than freed early
  }
  hand_to_orphans(one);
}

void collect() noexcept {
  ThreadState& mine = t_state;
  if ((mine.ended || mine.retired.empty()) && !g_have_orphans.load(std::memory_order_acquire)) {
    return;
  }
  try_advance();
  try_advance();
  const std::uint64_t now = g_epoch.load(std::memory_order_acquire);
  std::vector<Retired> batch;
  try {
    if (!mine.ended) take_safe(mine.retired, now, batch);
    if (g_have_orphans.load(std::memory_order_acquire)) {
      std::lock_guard<std::mutex> hold(orphans_mutex());
      take_safe(orphans(), now, batch);
      g_have_orphans.store(!orphans().empty(), std::memory_order_relaxed);
    }
    // NOLINTNEXTLINE(bugprone-empty-catch): `batch` is freed, the rest waits
  } catch (const std::bad_alloc&) {
  }
  // Destroying may retire more (a directory drops its children); those wait.
  destroy_all(batch);
}

}  // namespace moxtile::epoch
