#include "pool/account/account_purge.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/keyctl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

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

// A system call returning -errno on failure, so that the child's steps
// read alike. The child is forked: it has memory of its own, so it may use
// the C library's async-signal-safe wrappers. (A child sharing our memory
// would be cheaper to start under a big heap, but its change of user would
// make our own memory undumpable, and on hosts that let such processes be
// traced, open to the account.)
long direct_syscall(long number, long a = 0, long b = 0, long c = 0, long d = 0) noexcept {
  const long result = ::syscall(number, a, b, c, d);
  return result < 0 ? -errno : result;
}

// The errno of a failed direct_syscall, or 0.
int failure_of(long result) noexcept {
  return result < 0 && result > -4096 ? static_cast<int>(-result) : 0;
}

long keyctl(int operation, long a, long b = 0) noexcept {
  return direct_syscall(SYS_keyctl, operation, a, b);
}

// The child. Every signal that can be is blocked. Returns its exit code: 0
// when all is clean; otherwise 1, after reporting the first failed step on
// the report descriptor.
int purge_in_child(const long uid, const int report_fd) noexcept {
  ChildReport report;
  auto note = [&report](int step, int err) {
    if (report.step == 0) report = ChildReport{step, err};
  };
  auto finish = [&]() -> int {
    if (report.step == 0) return 0;
    direct_syscall(SYS_write, report_fd, reinterpret_cast<long>(&report), sizeof report);
    return 1;
  };

  // Nothing of root's stays: the group plays no part in signal permission or
  // in the account's own keyrings, so it takes the uid's number, as the
  // home directory's owner does.
  if (int e = failure_of(direct_syscall(SYS_setgroups, 0, 0))) note(kDropGroups, e);
  if (report.step == 0) {
    if (int e = failure_of(direct_syscall(SYS_setresgid, uid, uid, uid))) note(kSetGid, e);
  }
  if (report.step == 0) {
    if (int e = failure_of(direct_syscall(SYS_setresuid, uid, uid, uid))) note(kSetUid, e);
  }
  if (report.step != 0) return finish();
  // The change of user made this copy of root's memory as dumpable as the
  // host lets set-uid programs be; none of it is the account's to read.
  direct_syscall(SYS_prctl, PR_SET_DUMPABLE, 0);

  // Neither this child nor init is signalled. Success says only that some
  // other process exists, so one call is all there is to do: every process
  // of the account alive now has SIGKILL pending and never runs its own code
  // again, and none can fork any more.
  if (int e = failure_of(direct_syscall(SYS_kill, -1, SIGKILL)); e != 0 && e != ESRCH) {
    note(kKill, e);
    return finish();
  }

  // The persistent keyring grants its owner no write without possession, so
  // it is linked into this child's own process keyring, which dies with it.
  const long persistent = keyctl(KEYCTL_GET_PERSISTENT, uid, KEY_SPEC_PROCESS_KEYRING);
  const int no_persistent = failure_of(persistent);
  // ENOSYS: a kernel without keys. EPERM: key calls are filtered out for this
  // process, and so for every tenant it starts.
  if (no_persistent == ENOSYS || no_persistent == EPERM) return finish();
  if (no_persistent == 0) {
    if (int e = failure_of(keyctl(KEYCTL_CLEAR, persistent))) note(kPersistentKeyring, e);
  } else if (no_persistent != EOPNOTSUPP) {
    note(kPersistentKeyring, no_persistent);
  }
  if (int e = failure_of(keyctl(KEYCTL_CLEAR, KEY_SPEC_USER_KEYRING))) note(kUserKeyring, e);
  if (int e = failure_of(keyctl(KEYCTL_CLEAR, KEY_SPEC_USER_SESSION_KEYRING))) {
    note(kUserSessionKeyring, e);
  } else {
    // The kernel links the user keyring into the user-session keyring when it
    // makes them; the next tenant finds them as a fresh account would. A
    // failure here hides nothing, so it is not reported.
    keyctl(KEYCTL_LINK, KEY_SPEC_USER_KEYRING, KEY_SPEC_USER_SESSION_KEYRING);
  }
  return finish();
}

// How one purging child ended.
struct ChildEnd {
  bool interrupted = false;  // killed by a signal, or stopped and killed by us
  ChildReport report;        // step 0: everything was cleared
};

// Waits up to kChildTimeoutMs for `pid` to end, then kills it; reaps it.
// Returns its raw wait status, or the errno of the failed wait.
SysResult<int> wait_or_kill(pid_t pid) {
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  bool ended = false;
  if (pidfd) {
    pollfd ready{pidfd.get(), POLLIN, 0};
    int n;
    do {
      n = ::poll(&ready, 1, kChildTimeoutMs);
    } while (n < 0 && errno == EINTR);
    ended = n > 0;
  } else {
    // No descriptor to be had: look every millisecond. A stopped child must
    // not keep us waiting for ever.
    for (int waited = 0; waited < kChildTimeoutMs && !ended; ++waited) {
      siginfo_t info{};
      ended = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
              info.si_pid == pid;
      if (!ended) ::usleep(1000);
    }
  }
  // Our own unreaped child: its pid cannot have been reused.
  if (!ended) ::kill(pid, SIGKILL);
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return sys_error(errno);
  }
  return raw;
}

// Starts one purging child and waits for it. Returns the errno of a failed
// start or wait.
SysResult<ChildEnd> purge_once(uid_t uid) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return sys_error(errno);
  UniqueFd report_read(ends[0]);
  UniqueFd report_write(ends[1]);

  // Blocked before the fork so that no handler of the caller's ever runs in
  // the child; the account's processes may signal it.
  sigset_t all;
  sigset_t old;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(purge_in_child(uid, report_write.get()));
  const int fork_err = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return sys_error(fork_err);
  report_write.reset();

  auto raw = wait_or_kill(pid);
  if (!raw) return sys_error(raw.error());
  ChildEnd end;
  if (!WIFEXITED(*raw)) {
    end.interrupted = true;
    return end;
  }
  if (WEXITSTATUS(*raw) == 0) return end;
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
