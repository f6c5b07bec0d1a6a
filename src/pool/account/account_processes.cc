#include "pool/account/account_processes.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>

#include "pool/account/account_purge.h"
#include "pool/posix/system_error.h"
#include "pool/posix/unique_fd.h"

namespace moxtile {
namespace {

// Kill pacing: rounds of scan-and-SIGKILL, the first few a short pause apart
// (a killed process usually goes at once), the rest longer, about half a
// second in all before giving up.
constexpr int kKillRounds = 60;
constexpr int kQuickRounds = 10;
constexpr long kQuickPauseMs = 1;
constexpr long kSlowPauseMs = 10;

// Parses the pid out of a /proc entry name; 0 for anything that is not a pid.
pid_t pid_of(const char* name) {
  std::string_view n(name);
  pid_t pid = 0;
  auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), pid);
  if (ec != std::errc() || end != n.data() + n.size()) return 0;
  return pid;
}

// What one thread's status file says.
struct TaskStatus {
  bool live = false;        // neither a zombie nor dead
  bool account = false;     // one of its four user ids is the account's
  bool root = false;        // all four user ids are root's
  bool one_thread = false;  // the process has no other thread
};

// Reads the status file at `path` (/proc/<pid>/status or a task's). Nothing
// for a vanished process or an unreadable file.
std::optional<TaskStatus> read_status(const char* path, std::uint32_t uid) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char buf[4096];  // State:, Uid: and Threads: come well within this
  ssize_t n;
  do {
    n = ::read(fd.get(), buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  std::string_view text(buf, static_cast<std::size_t>(n));

  // `key` starts with a line break: a process may put "Uid:" in its own name
  // (the first line), but the kernel escapes line breaks there.
  auto field = [&](std::string_view key) -> std::string_view {
    std::size_t at = text.find(key);
    if (at == std::string_view::npos) return {};
    std::size_t start = at + key.size();
    std::size_t end = text.find('\n', start);
    return text.substr(start, end == std::string_view::npos ? end : end - start);
  };
  // Parses the next number of `line`, or nothing.
  auto next_number = [](std::string_view& line) -> std::optional<std::uint32_t> {
    std::size_t begin = line.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return std::nullopt;
    line.remove_prefix(begin);
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (ec != std::errc()) return std::nullopt;
    line.remove_prefix(static_cast<std::size_t>(end - line.data()));
    return value;
  };

  TaskStatus status;
  std::string_view state = field("\nState:");
  std::size_t letter = state.find_first_not_of(" \t");
  status.live = letter != std::string_view::npos && state[letter] != 'Z' && state[letter] != 'X';

  // "Uid:\t<real>\t<effective>\t<saved>\t<filesystem>": any of them lets the
  // process act as the account now or later.
  std::string_view uids = field("\nUid:");
  int roots = 0;
  for (int i = 0; i < 4; ++i) {
    std::optional<std::uint32_t> value = next_number(uids);
    if (!value) break;
    if (*value == uid) status.account = true;
    if (*value == 0) ++roots;
  }
  status.root = roots == 4;

  // Unknown counts as several: the threads are then looked at one by one.
  std::string_view threads = field("\nThreads:");
  std::optional<std::uint32_t> count = next_number(threads);
  status.one_thread = count && *count <= 1;
  return status;
}

// True iff some live thread of process `pid` other than its first has the
// account's uid.
bool other_thread_belongs_to(pid_t pid, std::uint32_t uid) {
  char path[64];
  // Every pid fits, so the length needs no check (here and below).
  static_cast<void>(std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid)));
  DIR* tasks = ::opendir(path);
  if (tasks == nullptr) return false;
  bool found = false;
  while (dirent* entry = ::readdir(tasks)) {
    pid_t tid = pid_of(entry->d_name);
    if (tid <= 0 || tid == pid) continue;
    static_cast<void>(std::snprintf(path, sizeof path, "/proc/%d/task/%d/status",
                                    static_cast<int>(pid), static_cast<int>(tid)));
    std::optional<TaskStatus> task = read_status(path, uid);
    if (task && task->live && task->account) {
      found = true;
      break;
    }
  }
  ::closedir(tasks);
  return found;
}

// True iff process `pid` is alive and belongs to the account `uid` (see the
// header). A vanished process is not a match.
bool belongs_to(pid_t pid, std::uint32_t uid) {
  char path[32];
  static_cast<void>(std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid)));
  std::optional<TaskStatus> leader = read_status(path, uid);
  if (!leader) return false;
  if (leader->live && leader->account) return true;
  if (leader->live && leader->one_thread) return false;
  // Credentials are per thread: a raw setresuid changes the calling thread
  // only, and the first thread may have exited while the others run on. Only
  // root's own code can give a thread of a process that is root's throughout
  // another uid (a file server acting for a user, say): not the account's.
  if (leader->root) return false;
  return other_thread_belongs_to(pid, uid);
}

// SIGKILLs `pid` if it still belongs to `uid`. Through a pidfd, so that a pid
// reused between the check and the signal cannot hit an unrelated process.
void kill_if_owned(pid_t pid, std::uint32_t uid) {
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd) {
    if (errno == ENOSYS && belongs_to(pid, uid)) ::kill(pid, SIGKILL);
    return;
  }
  // The pidfd pins one process: if it still matches now, it is the one we saw.
  if (!belongs_to(pid, uid)) return;
  ::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0);
}

// Visits every live process of `uid` except ourselves; returns how many, or
// the errno of a /proc that cannot be listed: then nothing can be said.
template <class Visit>
SysResult<std::size_t> for_each_process(std::uint32_t uid, Visit visit) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return sys_error(errno, "list the processes in /proc");
  const pid_t self = ::getpid();
  std::size_t found = 0;
  std::size_t pids = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    pid_t pid = pid_of(entry->d_name);
    if (pid <= 0) continue;
    ++pids;
    if (pid == self || !belongs_to(pid, uid)) continue;
    ++found;
    visit(pid);
  }
  const int read_error = errno;
  ::closedir(proc);
  if (read_error != 0) return sys_error(read_error, "list the processes in /proc");
  // Not even our own: this is not a /proc that shows the host's processes.
  if (pids == 0) return sys_error(ENOENT, "find the processes in /proc");
  return found;
}

void pause_ms(long ms) {
  timespec t{0, ms * 1000000L};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

}  // namespace

SysResult<std::size_t> count_account_processes(std::uint32_t uid) {
  return for_each_process(uid, [](pid_t) {});
}

PoolResult<void> kill_account_processes(std::uint32_t uid) {
  if (uid == 0) return pool_error("Refusing to stop the superuser's processes");
  // First as the account itself, the one way to catch a process that keeps
  // changing its pid; the scan below then finds what that cannot reach and
  // waits for the signalled to be gone.
  auto purged = purge_as_account(uid);
  for (int round = 0; round < kKillRounds; ++round) {
    auto found = for_each_process(uid, [uid](pid_t pid) { kill_if_owned(pid, uid); });
    if (!found) return pool_error(system_error_text(found.error()));
    if (*found == 0) return purged;
    // SIGKILL takes effect when the target next runs; give it a moment.
    pause_ms(round < kQuickRounds ? kQuickPauseMs : kSlowPauseMs);
  }
  auto left = count_account_processes(uid);
  if (!left) return pool_error(system_error_text(left.error()));
  if (*left == 0) return purged;
  return pool_error(std::to_string(*left) + " processes of the account still run after SIGKILL");
}

}  // namespace moxtile
