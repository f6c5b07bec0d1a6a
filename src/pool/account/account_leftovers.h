// What an account leaves outside its home, removed before the account is
// handed out again.
//
// A tenant can leave files in the places every account may write to (/tmp,
// /var/tmp, /dev/shm, /run/lock), in the homes of other accounts that are
// open to it, and IPC objects (System V shared memory segments, semaphore
// sets and message queues; POSIX message queues). They outlive its processes
// and would reach the next tenant of the same uid; a set-uid copy of a
// program would even let another account act as this one.
//
// Runs as root among directories that other accounts may change meanwhile:
// the walk goes by descriptors, follows no symbolic link, stays on each
// place's own mount and holds a bounded number of descriptors however deep
// the directories go. Thread-safe: the one shared step, mounting a view of
// the POSIX message queues, is made under a lock.
#pragma once

#include <cstdint>
#include <string>

#include "pool/account/pool_result.h"

namespace moxtile {

// Removes everything the account `uid` owns in the shared writable places and
// in the homes under `homes_root`, and every IPC object it owns or created:
// - in each place, an entry owned by the account goes with everything below
//   it; a directory of someone else is searched the same way when the account
//   may have made entries in it (one of root's that it may write to now, or
//   any other user's, whose owner can open it up at will). Another mount is
//   never entered. An entry replaced between our look and its removal is left
//   alone and the place walked again;
// - `homes_root`, if it is a directory of ours that no one else may write to
//   (else it is searched like any directory of the places), is a place of its
//   own: the account's own home goes, and its entries in every other home;
// - System V objects are removed by id, a shared memory segment first made
//   root's with no permissions (it lives on while attached);
// - POSIX message queues are unlinked from /dev/mqueue, or, where nothing is
//   mounted there, from a mount of their filesystem at /run/moxtile/mqueue
//   made on first use and left in place (skipped when not root).
// Returns what could not be removed and why (a path or an IPC kind with the
// system error text). Refuses uid 0.
PoolResult<void> remove_account_leftovers(std::uint32_t uid, const std::string& homes_root);

}  // namespace moxtile
