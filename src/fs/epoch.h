// Epochs: reading the namespace without locks, and freeing only what no such
// reader can still be looking at.
//
// A path walk reads directories inside a ReadGuard without taking their
// locks. Whatever it reaches there stays allocated until the guard ends: a
// node or a name index taken out of the tree is handed to retire(), and freed
// only once every thread that was inside a guard at that moment has left it.
// Guards are short (one walk) and never block, so that happens soon.
//
// Bookkeeping: a global epoch counter and, per thread, the epoch it announced
// on entering a guard (0 outside). The epoch moves on only when every thread
// inside a guard has announced the current one; something retired in epoch e
// is freed once the epoch reaches e + 2.
//
// Thread safety: every function may be called from any thread. A thread's
// retired objects are its own until they are freed or the thread ends (then
// any thread frees them).
#pragma once

namespace moxtile::epoch {

// Marks the calling thread as reading for its scope. Nests.
class ReadGuard final {
 public:
  ReadGuard() noexcept;
  ~ReadGuard();
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  void* thread_;  // the thread's state, looked up once (thread-local lookups cost a call here)
};

// Frees `object` with `destroy(object)` once no reader can reach it.
// REQUIRES: `object` can no longer be reached by a reader that starts now.
void retire(void* object, void (*destroy)(void*)) noexcept;

// Frees whatever this thread (and threads that have ended) retired that no
// reader can reach any more. Cheap when there is nothing to free.
void collect() noexcept;

}  // namespace moxtile::epoch
