#include "fs/rw_lock.h"

namespace moxtile {
namespace {

// Short waits (a reader copying a name, a writer appending one child) are
// far cheaper to spin out than to sleep through.
constexpr int kSpinLimit = 64;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

void RwLock::lock_slow() {
  int spins = 0;
  for (;;) {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & (kWriter | kReaders)) == 0) {
      // Clears WW (another waiting writer sets it again) and keeps S.
      if (state_.compare_exchange_weak(s, (s & kSleepers) | kWriter, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    if ((s & kWriterWaiting) == 0) {
      state_.compare_exchange_weak(s, s | kWriterWaiting, std::memory_order_relaxed);
      continue;
    }
    spin_or_sleep(s, spins);
  }
}

void RwLock::lock_shared_slow() {
  int spins = 0;
  for (;;) {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & (kWriter | kWriterWaiting)) == 0) {
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    spin_or_sleep(s, spins);
  }
}

void RwLock::spin_or_sleep(std::uint32_t seen, int& spins) {
  if (spins < kSpinLimit) {
    ++spins;
    cpu_relax();
    return;
  }
  if ((seen & kSleepers) == 0) {
    // If the state moved on meanwhile, the caller simply looks again.
    if (!state_.compare_exchange_weak(seen, seen | kSleepers, std::memory_order_relaxed)) return;
    seen |= kSleepers;
  }
  state_.wait(seen, std::memory_order_relaxed);
}

void RwLock::unlock_shared_slow(std::uint32_t seen) {
  std::uint32_t s = seen;
  for (;;) {
    std::uint32_t next = s - 1;
    const bool last = (next & (kReaders | kWriter)) == 0;
    if (last) next &= ~kSleepers;
    if (state_.compare_exchange_weak(s, next, std::memory_order_release,
                                     std::memory_order_relaxed)) {
      if (last && (s & kSleepers) != 0) state_.notify_all();
      return;
    }
  }
}

}  // namespace moxtile
