// RwLock: exclusion between writers and readers, and no lost wake-ups when
// threads sleep on the lock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fs/rw_lock.h"

namespace moxtile {
namespace {

TEST(FsRwLock, TryLockSharedFailsOnlyWhileAWriterHolds) {
  RwLock lock;
  EXPECT_TRUE(lock.try_lock_shared());
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
  lock.unlock_shared();
  lock.lock();
  EXPECT_FALSE(lock.try_lock_shared());
  lock.unlock();
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
}

// Writers update two plain counters that readers must always see equal.
// Many threads on two cores force the sleeping paths; a lost wake-up hangs
// the test, a broken exclusion shows as unequal counters (and to TSan).
TEST(FsRwLock, WritersExcludeEveryoneAndNobodySleepsForever) {
  RwLock lock;
  long a = 0, b = 0;
  std::atomic<long> torn{0};
  constexpr int kWriters = 4, kReaders = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        ExclusiveGuard guard(lock);
        ++a;
        ++b;
      }
    });
  }
  for (int t = 0; t < kReaders; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        SharedGuard guard(lock);
        if (a != b) ++torn;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(a, long{kWriters} * kRounds);
  EXPECT_EQ(b, a);
}

TEST(FsRwLock, AWaitingWriterGetsInAfterTheReaders) {
  RwLock lock;
  lock.lock_shared();
  std::atomic<bool> written{false};
  std::thread writer([&] {
    ExclusiveGuard guard(lock);
    written = true;
  });
  // The writer cannot get in while the reader holds on.
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_FALSE(written.load());
  lock.unlock_shared();
  writer.join();
  EXPECT_TRUE(written.load());
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
}

}  // namespace
}  // namespace moxtile
