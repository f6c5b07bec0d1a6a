// AccountLocks: the accounts one pool holds, host-wide.
//
// Pools propose the same names in every process, so two pools (two test
// workers, two harness workers, or two pools of one process) would otherwise
// hand out the same account and wipe or kill each other's tenants. Each pool
// therefore holds a lock per account from the allocation that takes it until
// the pool is gone: an open-file-description lock on byte <uid> of one lock
// file in a root-only directory. Such locks belong to the pool's own open of
// the file, so they conflict between pools of one process as between
// processes, and the kernel drops them when the pool closes the file or its
// process dies (a crashed harness frees its accounts at once).
//
// Only the process that opened the file may use the locks on it: a child of
// fork() shares that open, so it drops it and claims through its own.
//
// Not thread-safe: the owning UserPool guards it with its mutex.
#pragma once

#include <cstdint>

#include "pool/account/pool_result.h"
#include "pool/posix/owner_process.h"
#include "pool/posix/unique_fd.h"

namespace moxtile {

inline constexpr const char* kLockFile = "accounts.lock";

class AccountLocks final {
 public:
  AccountLocks() = default;
  AccountLocks(const AccountLocks&) = delete;
  AccountLocks& operator=(const AccountLocks&) = delete;

  // Takes the lock of account `uid` for this pool, opening the lock file on
  // first use in this process. Returns true when this pool holds it now (also
  // if it already did), false when another pool or process holds it, or why
  // the lock file cannot be used.
  PoolResult<bool> claim(std::uint32_t uid);

  // In a forked copy, closes the inherited open of the lock file. That gives
  // up nothing: its locks stay with the process that opened it.
  void drop_if_inherited() noexcept;

 private:
  UniqueFd file_;  // our own open of the lock file; closing it drops every lock
  OwnerProcess opened_by_;
};

}  // namespace moxtile
