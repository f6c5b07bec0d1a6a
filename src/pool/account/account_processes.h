// The processes of one account, found by scanning /proc.
//
// Release gives an account back only once none of its processes runs: a
// process that ignores the polite signal would otherwise live on into the
// next allocation of the account. A process is the account's when any of its
// threads has the account's uid as its real, effective, saved or filesystem
// user id: a set-uid program can park the uid in its saved set, or one
// thread alone can keep it, and take it back later. (The other threads of a
// process whose first thread is root's in all four are not looked at: only
// root's own code can give them another uid.) Killing them starts with a purge
// as the account itself (account_purge.h), which a process that keeps
// changing its pid cannot slip through. Thread-safe: no shared state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pool/account/pool_result.h"
#include "pool/posix/sys_result.h"

namespace moxtile {

// Number of live processes of the account `uid` (a zombie is not live; a
// process whose first thread has exited is, while another thread runs), or
// why /proc could not tell.
SysResult<std::size_t> count_account_processes(std::uint32_t uid);

// Purges the account as its own user (account_purge.h: SIGKILL to all its
// processes at once, its keyrings emptied), then sends SIGKILL to every live
// process of the account `uid` that is still found, and again to any that
// appear meanwhile, until none is found or a short time (about half a second)
// has passed. Succeeds only when the account is clean: fails with what the
// purge could not do, with how many processes still run, or when /proc
// cannot be read (a scan that sees nothing proves nothing). Refuses uid 0 and
// never signals the calling process.
PoolResult<void> kill_account_processes(std::uint32_t uid);

}  // namespace moxtile
