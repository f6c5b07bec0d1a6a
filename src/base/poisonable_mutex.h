// PoisonableMutex<T>: a value reached only with its mutex held, and a mutex
// that stays poisoned once a fatal error has unwound out of a holder: the value
// may have been left half-changed, so every later lock throws
// Panic("☢️ Poisoned lock").
//
// Two ways in: lock() hands out a scoped Guard (any exception unwinding
// through it poisons), with_lock(f) runs f(T&) under the lock and poisons on
// any exception but an allocation failure, which leaves every value guarded
// this way as it was (so a MemoryError does not make a Python object unusable).
//
// Thread safety: any thread may lock; a Guard is released by the thread that
// took it. Not reentrant.
#pragma once

#include <exception>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "base/panic.h"

namespace moxtile {

inline constexpr const char* kPoisonedLockMessage = "☢️ Poisoned lock";

template <class T>
class PoisonableMutex final {
 public:
  template <class... Args>
  explicit PoisonableMutex(Args&&... args) noexcept(std::is_nothrow_constructible_v<T, Args...>)
      : value_(std::forward<Args>(args)...) {}
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

  // Blocks until the mutex is free. Throws Panic if it is poisoned.
  Guard lock() {
    mutex_.lock();
    if (poisoned_) {
      mutex_.unlock();
      panic(kPoisonedLockMessage);
    }
    return Guard(*this);
  }

  // Runs f(T&) with the mutex held and returns its result. Throws Panic if
  // the mutex is poisoned; a Panic out of f poisons it.
  template <class F>
  decltype(auto) with_lock(F&& f) {
    mutex_.lock();
    if (poisoned_) {
      mutex_.unlock();
      panic(kPoisonedLockMessage);
    }
    return run(std::forward<F>(f));
  }

  // The same whether or not the mutex is poisoned: for the owner tearing the
  // value down.
  template <class F>
  decltype(auto) with_lock_ignoring_poison(F&& f) {
    mutex_.lock();
    return run(std::forward<F>(f));
  }

  bool poisoned() {
    std::lock_guard<std::mutex> hold(mutex_);
    return poisoned_;
  }

 private:
  // Unlocks at scope exit, after any catch handler below has run.
  struct Unlock {
    std::mutex& mutex;
    ~Unlock() { mutex.unlock(); }
  };

  // REQUIRES: mutex_ held; releases it. The poisoning is decided in handlers
  // rather than by counting uncaught exceptions, so the path without an
  // exception costs nothing beyond the mutex.
  template <class F>
  decltype(auto) run(F&& f) {
    Unlock unlock{mutex_};
    try {
      return std::forward<F>(f)(value_);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  T value_;                // guarded by mutex_
};

}  // namespace moxtile
