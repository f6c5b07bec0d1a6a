// PoisonableMutex: a fatal error while it is held poisons it; an allocation
// failure inside with_lock() does not.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/panic.h"
#include "base/poisonable_mutex.h"

namespace moxtile {
namespace {

std::string panic_message(PoisonableMutex<int>& cell) {
  try {
    cell.with_lock([](int&) {});
  } catch (const Panic& panic) {
    return panic.message();
  }
  return "";
}

TEST(PoisonableMutex, RunsWithTheValueAndReturnsTheResult) {
  PoisonableMutex<std::string> cell("ab");
  EXPECT_EQ(cell.with_lock([](std::string& s) {
    s += "c";
    return s.size();
  }),
            3u);
  EXPECT_EQ(cell.with_lock([](std::string& s) { return s; }), "abc");
  EXPECT_FALSE(cell.poisoned());
}

TEST(PoisonableMutex, PanicWhileHeldPoisonsEveryLaterLock) {
  PoisonableMutex<int> cell(1);
  EXPECT_THROW(cell.with_lock([](int& v) {
    v = 2;
    panic("broken invariant");
  }),
               Panic);
  EXPECT_TRUE(cell.poisoned());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(panic_message(cell).rfind("☢️ Poisoned lock", 0), 0u);
  }
  // The owner can still reach the value to tear it down.
  EXPECT_EQ(cell.with_lock_ignoring_poison([](int& v) { return v; }), 2);
}

TEST(PoisonableMutex, OtherExceptionsDoNotPoison) {
  PoisonableMutex<int> cell(0);
  EXPECT_THROW(cell.with_lock([](int&) { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_FALSE(cell.poisoned());
  EXPECT_EQ(cell.with_lock([](int& v) { return ++v; }), 1);
}

TEST(PoisonableMutex, PanicDuringTeardownPoisonsToo) {
  PoisonableMutex<int> cell(0);
  EXPECT_THROW(cell.with_lock_ignoring_poison([](int&) { panic("close failed"); }), Panic);
  EXPECT_TRUE(cell.poisoned());
}

TEST(PoisonableMutexStress, SerialisesHoldersAcrossThreads) {
  PoisonableMutex<long> cell(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cell] {
      for (int i = 0; i < 20000; ++i) cell.with_lock([](long& v) { v = v + 1; });
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(cell.with_lock([](long& v) { return v; }), 80000);
}

}  // namespace
}  // namespace moxtile
