#include "pool/posix/child_process.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

extern char** environ;

namespace moxtile {
namespace {

// Owns a posix_spawnattr_t set up for our children: empty signal mask,
// SIGPIPE back to its default action (a parent may ignore it, and an ignored
// disposition would survive the exec).
class SpawnAttributes final {
 public:
  SpawnAttributes() : init_error_(::posix_spawnattr_init(&attr_)) {
    if (init_error_ != 0) return;
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    ::posix_spawnattr_setsigmask(&attr_, &empty);
    ::posix_spawnattr_setsigdefault(&attr_, &defaults);
    ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnAttributes() {
    if (init_error_ == 0) ::posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  int init_error() const noexcept { return init_error_; }
  const posix_spawnattr_t* get() const noexcept { return &attr_; }

 private:
  posix_spawnattr_t attr_;
  int init_error_;
};

class FileActions final {
 public:
  FileActions() : init_error_(::posix_spawn_file_actions_init(&actions_)) {}
  ~FileActions() {
    if (init_error_ == 0) ::posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  // Records the first failure; later calls become no-ops.
  void dup2(int fd, int target) {
    if (error_ == 0) error_ = ::posix_spawn_file_actions_adddup2(&actions_, fd, target);
  }
  void open(int target, const char* path, int flags) {
    if (error_ == 0) error_ = ::posix_spawn_file_actions_addopen(&actions_, target, path, flags, 0);
  }
  // Closes in the child every descriptor above the standard streams: whatever
  // the process holds without close-on-exec (its own, or one its parent left
  // it) must not reach a program run as an account, or any other child.
  void close_the_rest() {
    if (error_ != 0) return;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    error_ = ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
#else
    // Built against an older C library: the one we run on may still have it
    // (a wheel built for an old glibc, installed on a new one).
    using AddCloseFrom = int (*)(posix_spawn_file_actions_t*, int);
    static const auto add_closefrom = reinterpret_cast<AddCloseFrom>(
        ::dlsym(RTLD_DEFAULT, "posix_spawn_file_actions_addclosefrom_np"));
    if (add_closefrom != nullptr) {
      error_ = add_closefrom(&actions_, STDERR_FILENO + 1);
      return;
    }
    // Otherwise close each inheritable descriptor open now.
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
      error_ = errno;
      return;
    }
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (fd <= STDERR_FILENO || fd == own) continue;
      const int flags = ::fcntl(fd, F_GETFD);
      if (flags < 0 || (flags & FD_CLOEXEC) != 0) continue;
      error_ = ::posix_spawn_file_actions_addclose(&actions_, fd);
      if (error_ != 0) break;
    }
    ::closedir(dir);
#endif
  }

  int error() const noexcept { return init_error_ != 0 ? init_error_ : error_; }
  const posix_spawn_file_actions_t* get() const noexcept { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  int init_error_;
  int error_ = 0;
};

// Our pipe ends must not sit on 0, 1 or 2 (possible when the caller closed
// its own standard streams): the child's dup2 onto those numbers would clobber
// them. Moves `fd` above 2, keeping close-on-exec.
int lift_above_standard_streams(UniqueFd& fd) {
  if (fd.get() > 2) return 0;
  int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return errno;
  fd.reset(moved);
  return 0;
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

SysResult<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return sys_error(errno);
  Pipe p{UniqueFd(fds[0]), UniqueFd(fds[1])};
  if (int e = lift_above_standard_streams(p.read); e != 0) return sys_error(e);
  if (int e = lift_above_standard_streams(p.write); e != 0) return sys_error(e);
  return p;
}

SysResult<pid_t> spawn(const std::vector<std::string>& argv, const FileActions& actions) {
  SpawnAttributes attr;
  if (attr.init_error() != 0) return sys_error(attr.init_error());
  if (actions.error() != 0) return sys_error(actions.error());

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  // glibc reports a failed exec here, as the return value.
  int e = ::posix_spawnp(&pid, args[0], actions.get(), attr.get(), args.data(), environ);
  if (e != 0) return sys_error(e);
  return pid;
}

ExitStatus decode_status(int raw) {
  ExitStatus s;
  if (WIFEXITED(raw)) {
    s.code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    s.signal = WTERMSIG(raw);
  }
  return s;
}

// Reads `out` and `err` to end of stream, whichever has data first, so that a
// child filling one pipe while we wait on the other cannot deadlock us.
int drain_both(UniqueFd& out, UniqueFd& err, std::string& out_text, std::string& err_text) {
  char chunk[4096];
  while (out.valid() || err.valid()) {
    pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
    int n = ::poll(fds, 2, -1);  // a negative fd is skipped by poll
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    UniqueFd* ends[2] = {&out, &err};
    std::string* texts[2] = {&out_text, &err_text};
    for (int i = 0; i < 2; ++i) {
      if (!ends[i]->valid() || fds[i].revents == 0) continue;
      ssize_t got = ::read(ends[i]->get(), chunk, sizeof chunk);
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return errno;
      }
      if (got == 0) {
        ends[i]->reset();
      } else {
        texts[i]->append(chunk, static_cast<std::size_t>(got));
      }
    }
  }
  return 0;
}

}  // namespace

SysResult<ExitStatus> wait_child(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return sys_error(errno);
  }
  return decode_status(raw);
}

SysResult<BoundedExit> wait_child_until(pid_t pid, int timeout_ms) {
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  auto elapsed_ms = [&start] {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
  };
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  bool ended = false;
  if (pidfd) {
    for (;;) {
      const long left = timeout_ms - elapsed_ms();
      pollfd ready{pidfd.get(), POLLIN, 0};
      const int n = ::poll(&ready, 1, left > 0 ? static_cast<int>(left) : 0);
      if (n < 0 && errno == EINTR) continue;
      // A failed poll says nothing about the child: it is treated as still running.
      ended = n > 0;
      break;
    }
  } else {
    // Kernels before 5.3 have no pidfd: look every millisecond.
    while (!ended && elapsed_ms() < timeout_ms) {
      siginfo_t info{};
      ended = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
              info.si_pid == pid;
      if (!ended) ::usleep(1000);
    }
  }
  BoundedExit end;
  if (!ended) {
    // Unreaped, so its pid cannot have been reused.
    ::kill(pid, SIGKILL);
    end.killed_at_deadline = true;
  }
  auto status = wait_child(pid);
  if (!status) return sys_error(status.error());
  end.status = *status;
  return end;
}

SysResult<ToolOutput> run_tool(const std::vector<std::string>& argv) {
  auto out = make_pipe();
  if (!out) return sys_error(out.error());
  auto err = make_pipe();
  if (!err) return sys_error(err.error());

  FileActions actions;
  actions.open(STDIN_FILENO, "/dev/null", O_RDONLY);
  actions.dup2(out->write.get(), STDOUT_FILENO);
  actions.dup2(err->write.get(), STDERR_FILENO);
  actions.close_the_rest();
  auto pid = spawn(argv, actions);
  if (!pid) return sys_error(pid.error());
  // Only the child may hold the write ends, or we would never see end of stream.
  out->write.reset();
  err->write.reset();

  ToolOutput result;
  int read_error = drain_both(out->read, err->read, result.out, result.err);
  // Closing our ends first lets a child still writing end on EPIPE.
  out->read.reset();
  err->read.reset();
  auto status = wait_child(*pid);
  if (read_error != 0) return sys_error(read_error);
  if (!status) return sys_error(status.error());
  result.status = *status;
  return result;
}

SysResult<PipedChild> spawn_piped(const std::vector<std::string>& argv) {
  auto in = make_pipe();
  if (!in) return sys_error(in.error());
  auto out = make_pipe();
  if (!out) return sys_error(out.error());
  auto err = make_pipe();
  if (!err) return sys_error(err.error());

  FileActions actions;
  actions.dup2(in->read.get(), STDIN_FILENO);
  actions.dup2(out->write.get(), STDOUT_FILENO);
  actions.dup2(err->write.get(), STDERR_FILENO);
  actions.close_the_rest();
  auto pid = spawn(argv, actions);
  if (!pid) return sys_error(pid.error());

  PipedChild child;
  child.pid = *pid;
  child.in = std::move(in->write);
  child.out = std::move(out->read);
  child.err = std::move(err->read);
  return child;  // the child's ends close with `in`, `out`, `err` here
}

}  // namespace moxtile
