// RwLock: a 4-byte reader/writer lock with writer preference.
//
// Thread safety: every member may be called from any thread. Not recursive:
// a thread must never take the lock (in any mode) while it already holds it,
// since a waiting writer blocks new readers. Acquiring has acquire semantics,
// releasing has release semantics. Contended threads spin briefly, then sleep
// on the word itself (futex-backed atomic wait).
//
// State word:
//   bit 31  W   a writer holds the lock
//   bit 30  WW  a writer is waiting (new readers stay out)
//   bit 29  S   someone sleeps on the word (the releaser must notify)
//   0..28   R   number of readers holding the lock
//
//   state            lock_shared         lock                unlock_shared (last)   unlock
//   free (0)         R=1                 W                   -                      -
//   R>0              R+1                 set WW, wait        R-1                    -
//   R>0 | WW         wait                wait                R-1; if R=0 and S:     -
//                                                            clear S in the same
//                                                            step, notify all
//   W (| S)          wait                wait                -                      clear W and S,
//                                                                                   then notify if
//                                                                                   S was set
// lock_shared adds to R first and looks after: a reader that finds W or WW set
// takes its count back at once (as unlock_shared, so a last reader's wake-up
// still happens), so R may briefly count a reader that is not in; writers
// simply retry then.
// A writer that acquires clears WW but keeps S, so that its own unlock wakes
// the sleepers that are still there. Sleepers re-announce themselves (WW, S)
// after every wake-up. Nothing writes the word after letting go of the lock
// (the node holding it may be freed by then), so a release that finds S only
// after its own step wakes everyone and leaves S for a later release to clear.
#pragma once

#include <atomic>
#include <cstdint>

namespace moxtile {

class RwLock final {
 public:
  RwLock() noexcept = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock() {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & (kWriter | kReaders)) == 0 &&
        state_.compare_exchange_strong(s, (s & kSleepers) | kWriter, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      return;
    }
    lock_slow();
  }

  void unlock() {
    // After the release the word may belong to a node already freed, so S is
    // cleared in the same step or not at all; only a wake-up comes after.
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & kSleepers) == 0) {
      // One atomic add (an and that returned the old word would be a
      // compare-and-swap loop).
      std::uint32_t prev = state_.fetch_sub(kWriter, std::memory_order_release);
      if ((prev & kSleepers) != 0) state_.notify_all();  // S came meanwhile; it stays
      return;
    }
    state_.fetch_and(~(kWriter | kSleepers), std::memory_order_release);
    state_.notify_all();
  }

  void lock_shared() {
    // One atomic add, cheaper than a compare-and-swap; a reader that finds a
    // writer in or waiting takes its count back and waits its turn.
    std::uint32_t before = state_.fetch_add(1, std::memory_order_acquire);
    if ((before & (kWriter | kWriterWaiting)) == 0) return;
    unlock_shared();
    lock_shared_slow();
  }

  void unlock_shared() {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & kSleepers) == 0) {
      std::uint32_t now = state_.fetch_sub(1, std::memory_order_release) - 1;
      // S came meanwhile: wake, and leave S to a later release.
      if ((now & (kReaders | kSleepers)) == kSleepers) state_.notify_all();
      return;
    }
    unlock_shared_slow(s);
  }

  // Succeeds unless a writer holds the lock (a merely waiting writer does not
  // count: the caller only looks and lets go at once).
  bool try_lock_shared() {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while ((s & kWriter) == 0) {
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kWriterWaiting = 1u << 30;
  static constexpr std::uint32_t kSleepers = 1u << 29;
  static constexpr std::uint32_t kReaders = kSleepers - 1;

  void lock_slow();
  void lock_shared_slow();
  // Spins a few rounds, then sleeps until the state is no longer `seen`.
  void spin_or_sleep(std::uint32_t seen, int& spins);
  // unlock_shared with sleepers: the last reader clears S in the same step.
  void unlock_shared_slow(std::uint32_t seen);

  std::atomic<std::uint32_t> state_{0};
};
static_assert(sizeof(RwLock) == 4);

// Holds `lock` shared for the guard's scope.
class SharedGuard final {
 public:
  explicit SharedGuard(RwLock& lock) : lock_(lock) { lock_.lock_shared(); }
  ~SharedGuard() { lock_.unlock_shared(); }
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;

 private:
  RwLock& lock_;
};

// Holds `lock` exclusively for the guard's scope.
class ExclusiveGuard final {
 public:
  explicit ExclusiveGuard(RwLock& lock) : lock_(lock) { lock_.lock(); }
  ~ExclusiveGuard() { lock_.unlock(); }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

 private:
  RwLock& lock_;
};

}  // namespace moxtile
