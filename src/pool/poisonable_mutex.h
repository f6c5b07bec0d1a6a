// PoisonableMutex<T>: a value that is only reached through a lock, where a
// fatal error (an exception) unwinding out of a holder poisons the lock.
//
// Once poisoned, every later lock() throws Panic("☢️ Poisoned lock"): the
// guarded value may be half-updated and must not be trusted again.
// Thread-safe: any thread may lock; the guard must be released by the thread
// that took it (it is scoped, RAII).
#pragma once

#include <exception>
#include <mutex>
#include <utility>

#include "error/panic.h"

namespace moxtile {

inline constexpr const char* kPoisonedLockMessage = "☢️ Poisoned lock";

template <class T>
class PoisonableMutex final {
 public:
  template <class... Args>
  explicit PoisonableMutex(std::in_place_t, Args&&... args) : value_(std::forward<Args>(args)...) {}
  PoisonableMutex(const PoisonableMutex&) = delete;
  PoisonableMutex& operator=(const PoisonableMutex&) = delete;

  class [[nodiscard]] Guard final {
   public:
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      // More exceptions in flight than when we locked: we are being unwound.
      if (std::uncaught_exceptions() > exceptions_at_lock_) owner_.poisoned_ = true;
      owner_.mutex_.unlock();
    }
    T& operator*() const noexcept { return owner_.value_; }
    T* operator->() const noexcept { return &owner_.value_; }

   private:
    friend class PoisonableMutex;
    explicit Guard(PoisonableMutex& owner) noexcept
        : owner_(owner), exceptions_at_lock_(std::uncaught_exceptions()) {}
    PoisonableMutex& owner_;
    int exceptions_at_lock_;
  };

  // Blocks until the lock is free. Throws Panic if the lock is poisoned.
  Guard lock() {
    mutex_.lock();
    if (poisoned_) {
      mutex_.unlock();
      panic(kPoisonedLockMessage);
    }
    return Guard(*this);
  }

  // True once a holder was unwound by an exception. Takes the lock briefly.
  bool is_poisoned() {
    std::lock_guard<std::mutex> hold(mutex_);
    return poisoned_;
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  T value_;                // guarded by mutex_
};

}  // namespace moxtile
