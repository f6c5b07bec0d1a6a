// User: one account handed out by a UserPool for one tenancy, and its release.
//
// A User is shared (SharedUser): the Python user object and every session
// spawned from it hold it. When the last holder lets go, the destructor ends
// the tenancy (lifecycle.h lists the steps): every process of the account is
// stopped, its cgroup and private world removed, and the account goes back onto its
// pool's idle list, or is set aside when it could not be cleared. Release
// reports problems as warning lines on standard error; a fatal error during
// release (a poisoned pool lock) goes to the fatal error sink, since a
// destructor cannot throw.
// Only the process that allocated the account releases it: the copy a child of
// fork() inherits lets go without touching the account, still its parent's.
// Thread-safety: the fields are fixed at construction; SharedUser wraps the
// User in a PoisonableMutex, through which holders read them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/poisonable_mutex.h"
#include "pool/account/tenancy.h"
#include "pool/posix/owner_process.h"

namespace moxtile {

class UserPool;
using SharedUserPool = std::shared_ptr<PoisonableMutex<UserPool>>;

class User final {
 public:
  // REQUIRES: `pool` is the pool that lists (uid, username) as in use.
  User(std::string username, std::string home, SharedUserPool pool, std::uint32_t uid,
       SharedTenancy tenancy);
  ~User();
  User(const User&) = delete;
  User& operator=(const User&) = delete;

  const std::string& username() const noexcept { return username_; }
  // The canonical path of the home directory made for this allocation.
  const std::string& home() const noexcept { return home_; }
  std::uint32_t uid() const noexcept { return uid_; }
  // What the tenancy is kept in, which its sessions start in; null for a
  // User made without one.
  const SharedTenancy& tenancy() const noexcept { return tenancy_; }

 private:
  std::string username_;
  std::string home_;
  SharedUserPool pool_;
  std::uint32_t uid_;
  SharedTenancy tenancy_;
  OwnerProcess allocated_in_;
};

using SharedUser = std::shared_ptr<PoisonableMutex<User>>;

}  // namespace moxtile
