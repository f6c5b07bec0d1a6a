// PoisoningMutex<T>: a value that is only reached with its mutex held, and a
// mutex that stays "poisoned" once a fatal error (moxtile::Panic) has unwound
// out of a holder: the value may have been left half-changed, so every later
// lock fails with a Panic whose message begins "☢️ Poisoned lock".
//
// Thread safety: with_lock() may be called from any thread; the value is
// touched only inside it (or by the sole owner through
// with_lock_ignoring_poison()). Other exceptions (std::bad_alloc) unwind
// without poisoning. Not reentrant: `f` must not lock the same object again.
#pragma once

#include <mutex>
#include <type_traits>
#include <utility>

#include "error/panic.h"

namespace moxtile::py {

template <class T>
class PoisoningMutex final {
 public:
  template <class... A>
  explicit PoisoningMutex(A&&... args) noexcept(std::is_nothrow_constructible_v<T, A...>)
      : value_(std::forward<A>(args)...) {}
  PoisoningMutex(const PoisoningMutex&) = delete;
  PoisoningMutex& operator=(const PoisoningMutex&) = delete;

  // Runs f(T&) with the mutex held and returns its result. Throws Panic if the
  // mutex is poisoned; poisons it if f throws a Panic.
  template <class F>
  decltype(auto) with_lock(F&& f) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (poisoned_) {
      panic("☢️ Poisoned lock: an earlier operation failed fatally while holding this lock");
    }
    try {
      return std::forward<F>(f)(value_);
    } catch (const Panic&) {
      poisoned_ = true;
      throw;
    }
  }

  // Runs f(T&) with the mutex held whether or not it is poisoned; for the
  // owner tearing the value down. A Panic still poisons.
  template <class F>
  decltype(auto) with_lock_ignoring_poison(F&& f) {
    std::lock_guard<std::mutex> guard(mutex_);
    try {
      return std::forward<F>(f)(value_);
    } catch (const Panic&) {
      poisoned_ = true;
      throw;
    }
  }

  bool poisoned() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return poisoned_;
  }

 private:
  mutable std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  T value_;                // guarded by mutex_
};

}  // namespace moxtile::py
