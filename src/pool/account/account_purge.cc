#include "pool/account/account_purge.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/keyctl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "pool/posix/child_process.h"
#include "pool/posix/memory_sharing_child.h"
#include "pool/posix/raw_syscall.h"
#include "pool/posix/system_error.h"
#include "pool/posix/unique_fd.h"

namespace moxtile {
namespace {

// A purging child killed or stopped this many times in a row makes the purge
// fail; each time, the account's processes must win a race of a few
// instructions against it.
constexpr int kAttempts = 5;
// Its work is a handful of system calls: one still running after this long
// is stopped or stuck.
constexpr int kChildTimeoutMs = 5000;

// The step at which the child failed; sent to the parent with its errno.
enum Step : int {
  kDropGroups = 1,
  kSetGid,
  kSetUid,
  kKill,
  kPersistentKeyring,
  kUserKeyring,
  kUserSessionKeyring,
};

struct ChildReport {
  int step = 0;
  int err = 0;
};

std::string step_text(int step) {
  switch (step) {
    case kDropGroups:
      return "Failed to drop the supplementary groups for the account's purge";
    case kSetGid:
      return "Failed to switch to the account's group for its purge";
    case kSetUid:
      return "Failed to switch to the account's user id for its purge";
    case kKill:
      return "Failed to kill the account's processes as the account";
    case kPersistentKeyring:
      return "Failed to empty the account's persistent keyring";
    case kUserKeyring:
      return "Failed to empty the account's user keyring";
    case kUserSessionKeyring:
      return "Failed to empty the account's user-session keyring";
    default:
      return "The account's purge failed for an unknown reason";
  }
}

// What the child needs. It lives in the caller's frame until the child is
// reaped; a memory-sharing child reads it in place.
struct PurgeArgs {
  long uid;
  int report_fd;
};

MOXTILE_RAW_INLINE long keyctl(int operation, long a, long b = 0) noexcept {
  return raw_syscall(SYS_keyctl, operation, a, b);
}

// Keeps the first failed step; the child's only way of reporting it.
struct Failure {
  ChildReport report;
  MOXTILE_RAW_INLINE void note(int step, long result) noexcept {
    if (report.step == 0 && raw_failure(result) != 0)
      report = ChildReport{step, raw_failure(result)};
  }
  MOXTILE_RAW_INLINE bool any() const noexcept { return report.step != 0; }
};

// The child. It may share our memory (memory_sharing_child.h), so it makes
// raw system calls only; every signal that can be is blocked. Returns its exit
// code: 0 when all is clean; otherwise 1, after reporting the first failed
// step on the report descriptor.
MOXTILE_UNINSTRUMENTED int purge_in_child(void* raw_args) noexcept {
  const PurgeArgs* args = static_cast<const PurgeArgs*>(raw_args);
  const long uid = args->uid;
  Failure failure;

  // Nothing of root's stays: the group plays no part in signal permission or
  // in the account's own keyrings, so it takes the uid's number, as the
  // home directory's owner does.
  failure.note(kDropGroups, raw_syscall(SYS_setgroups, 0, 0));
  if (!failure.any()) failure.note(kSetGid, raw_syscall(SYS_setresgid, uid, uid, uid));
  if (!failure.any()) failure.note(kSetUid, raw_syscall(SYS_setresuid, uid, uid, uid));
  if (!failure.any()) {
    // The change of user made this memory as dumpable as the host lets
    // set-uid programs be (checked to be untraceable for a shared one, but
    // the setting may change meanwhile); none of it is the account's to read.
    raw_syscall(SYS_prctl, PR_SET_DUMPABLE, 0);

    // Neither this child nor init is signalled. Success says only that some
    // other process exists, so one call is all there is to do: every process
    // of the account alive now has SIGKILL pending and never runs its own
    // code again, and none can fork any more.
    const long killed = raw_syscall(SYS_kill, -1, SIGKILL);
    if (raw_failure(killed) != ESRCH) failure.note(kKill, killed);
  }
  if (!failure.any()) {
    // The persistent keyring grants its owner no write without possession,
    // so it is linked into this child's own process keyring, which dies with it.
    const long persistent = keyctl(KEYCTL_GET_PERSISTENT, uid, KEY_SPEC_PROCESS_KEYRING);
    const int no_persistent = raw_failure(persistent);
    // ENOSYS: a kernel without keys. EPERM: key calls are filtered out for
    // this process, and so for every tenant it starts.
    if (no_persistent != ENOSYS && no_persistent != EPERM) {
      if (no_persistent == 0) {
        failure.note(kPersistentKeyring, keyctl(KEYCTL_CLEAR, persistent));
      } else if (no_persistent != EOPNOTSUPP) {
        failure.note(kPersistentKeyring, persistent);
      }
      failure.note(kUserKeyring, keyctl(KEYCTL_CLEAR, KEY_SPEC_USER_KEYRING));
      const long cleared = keyctl(KEYCTL_CLEAR, KEY_SPEC_USER_SESSION_KEYRING);
      failure.note(kUserSessionKeyring, cleared);
      if (raw_failure(cleared) == 0) {
        // The kernel links the user keyring into the user-session keyring
        // when it makes them; the next tenant finds them as a fresh account
        // would. A failure here hides nothing, so it is not reported.
        keyctl(KEYCTL_LINK, KEY_SPEC_USER_KEYRING, KEY_SPEC_USER_SESSION_KEYRING);
      }
    }
  }
  if (!failure.any()) return 0;
  raw_syscall(SYS_write, args->report_fd, reinterpret_cast<long>(&failure.report),
              sizeof failure.report);
  return 1;
}

// Runs the child in a fork: where no memory-sharing child can be had, or
// where the host would let the account trace one (memory_sharing_child.h).
// The fork costs in proportion to the caller's memory.
SysResult<BoundedExit> fork_and_wait(PurgeArgs& args) {
  // Blocked before the fork so that no handler of the caller's ever runs in
  // the child; the account's processes may signal it.
  sigset_t all;
  sigset_t old;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(purge_in_child(&args));
  const int fork_err = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return sys_error(fork_err);
  return wait_child_until(pid, kChildTimeoutMs);
}

// How one purging child ended.
struct ChildEnd {
  bool interrupted = false;  // killed by a signal, or stopped and killed by us
  ChildReport report;        // step 0: everything was cleared
};

// Starts one purging child and waits for it. Returns the errno of a failed
// start or wait.
SysResult<ChildEnd> purge_once(uid_t uid) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return sys_error(errno);
  UniqueFd report_read(ends[0]);
  UniqueFd report_write(ends[1]);

  PurgeArgs args{static_cast<long>(uid), report_write.get()};
  // The child's change of user decides whether the account could trace it.
  auto ended = kMemorySharingChildAvailable && id_change_keeps_memory_untraceable()
                   ? run_memory_sharing_child(purge_in_child, &args, kChildTimeoutMs)
                   : fork_and_wait(args);
  if (!ended) return sys_error(ended.error());
  report_write.reset();

  ChildEnd end;
  if (!ended->status.code) {
    end.interrupted = true;
    return end;
  }
  if (*ended->status.code == 0) return end;
  ssize_t n;
  do {
    n = ::read(report_read.get(), &end.report, sizeof end.report);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof end.report) || end.report.step == 0) {
    end.report = ChildReport{-1, 0};  // exited with a failure but said nothing
  }
  return end;
}

}  // namespace

PoolResult<void> purge_as_account(std::uint32_t uid) {
  if (uid == 0) return pool_error("Refusing to purge the superuser's processes");
  uid_t real = 0;
  uid_t effective = 0;
  uid_t saved = 0;
  if (::getresuid(&real, &effective, &saved) == 0 && (real == uid || saved == uid)) {
    return pool_error("Refusing to purge the account this process runs as");
  }
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    auto end = purge_once(uid);
    if (!end) {
      return pool_error("Failed to run the account's purge: " + system_error_text(end.error()));
    }
    if (end->interrupted) continue;
    if (end->report.step == 0) return {};
    std::string message = step_text(end->report.step);
    if (end->report.err != 0) message += ": " + system_error_text(end->report.err);
    return pool_error(std::move(message));
  }
  return pool_error("Failed to purge the account: its purging process was killed " +
                    std::to_string(kAttempts) + " times");
}

}  // namespace moxtile
