// Memory-sharing child: a function run in a child process that shares the
// caller's memory, waited for with a deadline and reaped. Its start copies no
// page tables, so it costs the same under any heap (a fork copies them all,
// about 65 ms for a 2 GiB heap).
//
// The child is made with clone(CLONE_VM | SIGCHLD): a process of its own with
// copies of the caller's signal handlers, descriptor table, working directory
// and credentials, which it may change without touching the caller's; a 64 KiB
// stack mapped for it above a guard page; every signal blocked (SIGKILL and
// SIGSTOP aside), so no handler of the caller's ever runs in it. A child that
// is stopped (by anyone who may signal it) or still running at the deadline is
// killed, so it never keeps the caller waiting longer.
//
// What the function may do: raw system calls (raw_syscall.h), arithmetic and
// plain memory access, and nothing else. It runs on a small stack, in the
// caller's memory and with the calling thread's thread pointer, while the
// caller's other threads keep running: a C library call touching errno,
// thread-local storage, a lock or the heap would corrupt the calling thread or
// deadlock. It and everything it calls that is not inlined must be marked
// MOXTILE_UNINSTRUMENTED, and it must not throw. What it writes to memory is
// seen by the caller once the call returns.
//
// Changing ids: when a process sharing our memory changes its uid or gid, the
// kernel sets that memory's dumpable flag to /proc/sys/fs/suid_dumpable. With
// 1, the new user could trace the child and write our memory; a function that
// changes ids may only run when id_change_keeps_memory_untraceable(). The
// caller's own flag is put back once the child is reaped.
//
// Thread-safe: children may be run from several threads at once; the
// dumpable flag is put back when the last running one is reaped.
#pragma once

#include "pool/posix/child_process.h"
#include "pool/posix/raw_syscall.h"
#include "pool/posix/sys_result.h"

namespace moxtile {

// False where raw system calls are not to be had: callers fork instead.
inline constexpr bool kMemorySharingChildAvailable = MOXTILE_HAS_RAW_SYSCALL != 0;

// The child's function; its result is the child's exit code (0 to 255).
using SharedMemoryFunction = int (*)(void* arg) noexcept;

// Runs fn(arg) in a memory-sharing child and waits up to `timeout_ms` for it.
// Returns how it ended, or the failed step: a stack that could not be mapped,
// a failed start (ENOSYS where not available), a failed wait (the child may
// then still run; its stack is left mapped and the caller stays undumpable).
SysResult<BoundedExit> run_memory_sharing_child(SharedMemoryFunction fn, void* arg, int timeout_ms);

// True when /proc/sys/fs/suid_dumpable reads 0 or 2: a child that changes its
// ids then leaves our memory closed to its new user. False when it reads 1 or
// cannot be read.
bool id_change_keeps_memory_untraceable();

}  // namespace moxtile
