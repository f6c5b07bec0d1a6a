// OwnerProcess: the process an object was made in, so that the copy of it
// that fork() leaves in a child can tell it is not the original.
//
// Accounts, their locks and their processes belong to the process that took
// them; a forked child gets a copy of the memory, not the ownership. The stamp
// is the pid together with the number of forks this line of processes has
// gone through (counted in every child of fork()): the pid alone would let a
// descendant that was given a dead owner's recycled pid pass for the owner.
//
// Thread-safety: fixed at construction; any thread may ask.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace moxtile {

class OwnerProcess final {
 public:
  // Stamps the calling process.
  OwnerProcess() noexcept;

  // True iff the calling process is the one stamped (not a forked copy of it).
  bool is_current() const noexcept;

 private:
  pid_t pid_;
  std::uint64_t forks_;
};

}  // namespace moxtile
