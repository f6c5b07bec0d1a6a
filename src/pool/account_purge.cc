#include "pool/account_purge.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/keyctl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "pool/system_error.h"
#include "pool/unique_fd.h"

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

long keyctl(int operation, unsigned long a, unsigned long b = 0) {
  return ::syscall(SYS_keyctl, operation, a, b, 0UL, 0UL);
}

// A keyring id (a negative special id included) as the kernel reads it.
unsigned long key_arg(long id) { return static_cast<unsigned long>(id); }

// Ends the child: exit code 0 when `report` holds no failure, else 1 after
// sending `report` to the parent.
[[noreturn]] void finish(const ChildReport& report, int report_fd) {
  if (report.step == 0) ::_exit(0);
  ssize_t ignored = ::write(report_fd, &report, sizeof report);
  (void)ignored;
  ::_exit(1);
}

// The child: only async-signal-safe calls (no allocation, no locks), since
// the caller may have had other threads at the fork. Every signal that can be
// is blocked. Exits 0 when all is clean; otherwise reports the first failed
// step on `report_fd` and exits 1.
[[noreturn]] void purge_in_child(uid_t uid, int report_fd) {
  ChildReport report;
  auto note = [&report](int step, int err) {
    if (report.step == 0) report = ChildReport{step, err};
  };

  // Nothing of root's stays: the group plays no part in signal permission or
  // in the account's own keyrings, so it takes the uid's number, as the
  // home directory's owner does.
  const gid_t gid = uid;
  if (::setgroups(0, nullptr) != 0) note(kDropGroups, errno);
  if (report.step == 0 && ::setresgid(gid, gid, gid) != 0) note(kSetGid, errno);
  if (report.step == 0 && ::setresuid(uid, uid, uid) != 0) note(kSetUid, errno);
  if (report.step != 0) finish(report, report_fd);

  // Neither this child nor init is signalled. Success says only that some
  // other process exists, so one call is all there is to do: every process
  // of the account alive now has SIGKILL pending and never runs its own code
  // again, and none can fork any more.
  if (::kill(-1, SIGKILL) != 0 && errno != ESRCH) {
    note(kKill, errno);
    finish(report, report_fd);
  }

  // The persistent keyring grants its owner no write without possession, so
  // it is linked into this child's own process keyring, which dies with it.
  long persistent = keyctl(KEYCTL_GET_PERSISTENT, uid, key_arg(KEY_SPEC_PROCESS_KEYRING));
  if (persistent < 0 && errno == ENOSYS) finish(report, report_fd);  // a kernel without keys
  if (persistent >= 0) {
    if (keyctl(KEYCTL_CLEAR, key_arg(persistent)) != 0) note(kPersistentKeyring, errno);
  } else if (errno != EOPNOTSUPP) {
    note(kPersistentKeyring, errno);
  }
  if (keyctl(KEYCTL_CLEAR, key_arg(KEY_SPEC_USER_KEYRING)) != 0) note(kUserKeyring, errno);
  if (keyctl(KEYCTL_CLEAR, key_arg(KEY_SPEC_USER_SESSION_KEYRING)) != 0) {
    note(kUserSessionKeyring, errno);
  } else {
    // The kernel links the user keyring into the user-session keyring when it
    // makes them; the next tenant finds them as a fresh account would. A
    // failure here hides nothing, so it is not reported.
    keyctl(KEYCTL_LINK, key_arg(KEY_SPEC_USER_KEYRING), key_arg(KEY_SPEC_USER_SESSION_KEYRING));
  }
  finish(report, report_fd);
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
  if (pidfd) {
    pollfd ready{pidfd.get(), POLLIN, 0};
    int n;
    do {
      n = ::poll(&ready, 1, kChildTimeoutMs);
    } while (n < 0 && errno == EINTR);
    // Our own unreaped child: its pid cannot have been reused.
    if (n == 0) ::kill(pid, SIGKILL);
  }
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
  if (pid == 0) purge_in_child(uid, report_write.get());
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
