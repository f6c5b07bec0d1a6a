#include "fs/file_lock.h"

#include "base/panic.h"

namespace moxtile {

void FileLock::release_reader() {
  std::int64_t f = flag_.load(std::memory_order_relaxed);
  do {
    if (f <= 0) panic("assertion failed: flag > 0");
  } while (
      !flag_.compare_exchange_weak(f, f - 1, std::memory_order_release, std::memory_order_relaxed));
}

void FileLock::release_writer() {
  if (flag_.load(std::memory_order_acquire) != kWriteExclusive) {
    panic("assertion failed: self.flag.load(Ordering::Acquire) == FileLock::WRITE_EXCLUSIVE");
  }
  flag_.store(0, std::memory_order_release);
}

}  // namespace moxtile
