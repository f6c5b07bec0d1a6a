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
//   4. Cgroup::create(...)            the tenancy's cgroup, with its limits,
//                                     under the parent of all tenancies
//   5. PrivateWorld::make(plan)       the tenancy's own mount, IPC (and,
//                                     when asked, network) namespaces
//   A failure in 2 to 5 sets the account aside and reports what failed.
//
// Each session then starts through spawn_in_tenancy (tenancy.h): inside the
// world and the cgroup, with no new privileges, a new session keyring and
// the per-process limits.
//
// Release (the last holder of the User lets go):
//   1. `pkill -u <uid>`               the polite signal
//   2. cgroup.kill_all()              every process of the tenancy dies at
//                                     once; none can stop or race it
//   3. kill_account_processes(uid)    anything of the account outside it too,
//                                     and the account's keyrings are emptied
//   4. world.dissolve()               the private places unmounted, their
//                                     memory freed, the namespaces let go
//   5. cgroup.remove()                no group left behind
//   6. pool.give_back(uid)            onto the idle list; set aside instead
//                                     when 2, 3 or 5 failed
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
void release_account(std::uint32_t uid, SharedTenancy tenancy, const SharedUserPool& pool);

}  // namespace moxtile
