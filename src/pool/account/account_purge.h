// Purging an account as its own user: what only a process with the account's
// uid can clear before the account changes hands.
//
// A short-lived child drops to the account's uid and sends SIGKILL with one
// kill(-1). The kernel signals every process the child may signal under one
// lock, and a fork still in progress when the signal lands fails, so a process
// that keeps changing its pid cannot slip between the rounds of a /proc scan.
// kill(-1) reaches the processes whose real or saved uid is the account's;
// one that has the uid only as its effective or filesystem uid is left to the
// scan of account_processes.h. The same child then empties the account's
// user, user-session and persistent keyrings, which outlive every process of
// the uid and would hand one tenant's keys to the next.
//
// Thread-safe: no shared state. The child makes raw system calls only, so the
// caller may have other threads. It shares the caller's memory where that is
// safe (memory_sharing_child.h: the host's suid_dumpable is 0 or 2), so its
// start does not grow with the caller's heap; elsewhere it is forked, which
// costs in proportion to the caller's memory (about 65 ms for a 2 GiB heap).
#pragma once

#include <cstdint>

#include "pool/account/pool_result.h"

namespace moxtile {

// Runs the purge for `uid` and waits for it. A purging child that is killed
// or stopped (any process of the account may signal it before its own
// kill(-1) lands) is killed and replaced, a few times at most. Returns the
// message of the first step that failed; the steps after a failed keyring
// are still done. Refuses uid 0, and refuses a caller whose real or saved uid
// is `uid` (the kill would reach the caller).
PoolResult<void> purge_as_account(std::uint32_t uid);

}  // namespace moxtile
