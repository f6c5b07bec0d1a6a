// UserPool: real UNIX accounts of the host, handed out for throw-away use.
//
// Accounts are made with `useradd` (named "test_" and eight generated
// characters), never deleted, and reused: a released account goes onto the
// idle list, which is taken from last-in first-out before any account is made.
// A name that already exists on the host (from an earlier run) is adopted
// after an `id` lookup. Each allocation gets a fresh empty home directory
// under /tmp/tmp_user_home owned by the account, mode 0700.
//
// Each hand-out is a tenancy, contained as containment.h says; the steps of
// hand-out and release are listed in lifecycle.h. An account is held by at
// most one pool on the host (AccountLocks); a name held by another pool is
// skipped. An account whose preparation or clearing failed is set aside: the
// pool never hands it out again, and it no longer counts against capacity.
//
// A pool belongs to the process that made it: the copy a child of fork()
// inherits starts over empty and never lists, hands out, wipes or stops an
// account of its parent's.
//
// Thread-safety: the pool is shared (SharedUserPool) by its Python object and
// every User it handed out; all access goes through its one PoisonableMutex.
// Hand-out holds that lock while it runs `id` and `useradd`, and prepares the
// tenancy without it. Lock order: a User's lock is never held while the
// pool's lock is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/poisonable_mutex.h"
#include "pool/account/account_lock.h"
#include "pool/account/containment.h"
#include "pool/account/name_generator.h"
#include "pool/account/pool_result.h"
#include "pool/account/user.h"
#include "pool/posix/owner_process.h"

namespace moxtile {

inline constexpr const char* kAllocFailed = "Failed to allocate a new user account";

struct PoolEntry {
  std::uint32_t uid = 0;
  std::string username;
};

class UserPool final {
 public:
  // Reserves room for `user_count` entries in both lists.
  // Throws std::length_error or std::bad_alloc when that room cannot be had.
  explicit UserPool(std::size_t user_count);
  UserPool(const UserPool&) = delete;
  UserPool& operator=(const UserPool&) = delete;

  // Accounts handed out, in the order they were taken.
  const std::vector<PoolEntry>& user() noexcept {
    forget_if_inherited();
    return user_;
  }
  // Idle accounts; the last one is handed out next.
  const std::vector<PoolEntry>& free_user() noexcept {
    forget_if_inherited();
    return free_user_;
  }
  // Accounts this pool will not hand out again.
  const std::vector<PoolEntry>& set_aside() noexcept {
    forget_if_inherited();
    return set_aside_;
  }

  const ContainmentSettings& settings() const noexcept { return settings_; }
  // For the accounts handed out from now on.
  void configure(const ContainmentSettings& settings) noexcept { settings_ = settings; }

  // Takes the account to hand out next: the last idle one, else a new or
  // adopted one that no other pool holds, listed as in use. Fails when the
  // pool is full, or with why no account could be had (`id` or `useradd`
  // could not be started or failed).
  PoolResult<PoolEntry> take_account();

  // Moves the first in-use entry with `uid` to the end of the idle list;
  // does nothing if there is none.
  void give_back(std::uint32_t uid);
  // Moves the first in-use entry with `uid` to the set-aside list.
  void put_aside(std::uint32_t uid);

 private:
  // In a forked copy, empties the lists and drops the inherited lock file:
  // the accounts are still the parent's. Every use of the lists calls it first.
  void forget_if_inherited() noexcept;
  // A new or adopted account that this pool may hand out.
  PoolResult<PoolEntry> new_account();
  bool is_set_aside(std::uint32_t uid) const noexcept;

  std::vector<PoolEntry> user_;
  std::vector<PoolEntry> free_user_;
  std::vector<PoolEntry> set_aside_;
  std::size_t max_user_;
  NameGenerator name_rng_;
  ContainmentSettings settings_;
  AccountLocks locks_;  // held for every account listed here, set-aside ones included
  OwnerProcess owner_;  // the process the lists describe
};

// A new shared pool of at most `user_count` accounts in use at once, or an
// error when room for that many entries cannot be reserved.
PoolResult<SharedUserPool> new_user_pool(std::size_t user_count);

// The uid of the existing account `name` (`id -u <name>`), nothing when there
// is none, or why `id` could not be started.
PoolResult<std::optional<std::uint32_t>> userid(const std::string& name);

}  // namespace moxtile
