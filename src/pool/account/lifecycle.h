// The life of a tenancy: what hand-out does and what release does, in order,
// one call per step. This page is the whole story; each step's own header
// has the details.
//
// Hand-out (alloc_user):
//   1. pool.take_account()            the last idle account, else a new or
//                                     adopted one no other pool holds
//   2. kill_account_processes(uid)    nothing of an earlier tenant runs, and
//                                     the account's keyrings are empty
//   3. prepare_home(root, name, uid)  a fresh, empty home, mode 0700
//   4. PrivateWorld::make(plan)       the tenancy's own mount, IPC (and,
//                                     when asked, network) namespaces
//   A failure in 2 to 4 sets the account aside and reports what failed.
//
// Each session then starts from a thread of its own that enters the world,
// forbids new privileges and joins a new session keyring (terminal_session.h).
//
// Release (the last holder of the User lets go):
//   1. `pkill -u <uid>`               the polite signal
//   2. kill_account_processes(uid)    every process of the account dies
//   3. world.dissolve()               the private places unmounted, their
//                                     memory freed, the namespaces let go
//   4. pool.give_back(uid)            onto the idle list; set aside instead
//                                     when step 2 failed
//
// The tenant can write nowhere but its home and its private places, so
// nothing else needs sweeping: its home is wiped at its next hand-out.
// Thread-safety: as UserPool and User; no state of its own.
#pragma once

#include <cstdint>

#include "pool/account/pool_result.h"
#include "pool/account/user.h"

namespace moxtile {

// Hands out an account of `pool` for a new tenancy. Returns the User (which
// keeps `pool`) or an error message.
// Throws Panic when the pool's lock is poisoned.
PoolResult<SharedUser> alloc_user(SharedUserPool pool);

// Ends the tenancy of account `uid`: the release steps above. Warnings go to
// standard error. Throws Panic when the pool's lock is poisoned.
void release_account(std::uint32_t uid, SharedWorld world, const SharedUserPool& pool);

}  // namespace moxtile
