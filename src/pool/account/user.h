// User: one account handed out by a UserPool for one tenancy, and its release.
//
// A User is shared (SharedUser): the Python user object and every session
// spawned from it hold it. When the last holder lets go, the destructor ends
// the tenancy (lifecycle.h lists the steps): every process of the account is
// stopped, its private world dissolved, and the account goes back onto its
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
#include "pool/posix/owner_process.h"
#include "pool/posix/private_world.h"

namespace moxtile {

class UserPool;
using SharedUserPool = std::shared_ptr<PoisonableMutex<UserPool>>;
// Shared by the User and by the threads that start its sessions.
using SharedWorld = std::shared_ptr<const PrivateWorld>;

class User final {
 public:
  // REQUIRES: `pool` is the pool that lists (uid, username) as in use.
  User(std::string username, std::string home, SharedUserPool pool, std::uint32_t uid,
       SharedWorld world);
  ~User();
  User(const User&) = delete;
  User& operator=(const User&) = delete;

  const std::string& username() const noexcept { return username_; }
  // The canonical path of the home directory made for this allocation.
  const std::string& home() const noexcept { return home_; }
  std::uint32_t uid() const noexcept { return uid_; }
  // The tenancy's private world, which its sessions start in.
  const SharedWorld& world() const noexcept { return world_; }

 private:
  std::string username_;
  std::string home_;
  SharedUserPool pool_;
  std::uint32_t uid_;
  SharedWorld world_;
  OwnerProcess allocated_in_;
};

using SharedUser = std::shared_ptr<PoisonableMutex<User>>;

}  // namespace moxtile
