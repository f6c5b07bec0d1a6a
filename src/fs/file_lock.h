// FileLock: the open-handle counter of one file. Nothing ever waits on it:
// every transition is one compare-and-swap (or a store) that either happens
// or is refused at once.
//
// Thread safety: the flag is atomic; any thread may call any member.
//
//   flag now  | open, no WRITE | open with WRITE | close reader | close writer | removal
//   ----------+----------------+-----------------+--------------+--------------+-----------------
//   0         | 1              | -1              | panic        | panic        | -2 (file removed)
//   n > 0     | n + 1          | in use          | n - 1        | panic        | in use
//   -1        | in use         | in use          | panic        | 0            | in use
//   -2        | in use         | in use          | (no handle)  | (no handle)  | in use
// ("in use" = ResourceCurrentInUse; "panic" = broken lock protocol.)
#pragma once

#include <atomic>
#include <cstdint>

namespace moxtile {

class FileLock final {
 public:
  static constexpr std::int64_t kWriteExclusive = -1;
  static constexpr std::int64_t kRemoveExclusive = -2;

  FileLock() noexcept = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Returns false (nothing changed) when a writer or a removal holds the file.
  bool try_add_reader() noexcept {
    std::int64_t f = flag_.load(std::memory_order_relaxed);
    while (f >= 0) {
      if (flag_.compare_exchange_weak(f, f + 1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }
  // Returns false (nothing changed) unless the file is free.
  bool try_set_writer() noexcept { return try_move(0, kWriteExclusive); }
  // Returns false (nothing changed) unless the file is free.
  bool try_claim_for_removal() noexcept { return try_move(0, kRemoveExclusive); }

  // Throw Panic when the protocol has been broken (see the table).
  void release_reader();
  void release_writer();

  std::int64_t load() const noexcept { return flag_.load(std::memory_order_acquire); }

 private:
  // Tests set states the protocol never reaches, to see the panics.
  friend class FileLockTestPeer;

  bool try_move(std::int64_t from, std::int64_t to) noexcept {
    return flag_.compare_exchange_strong(from, to, std::memory_order_acq_rel,
                                         std::memory_order_relaxed);
  }

  std::atomic<std::int64_t> flag_{0};  // the "flag now" column of the table
};

}  // namespace moxtile
