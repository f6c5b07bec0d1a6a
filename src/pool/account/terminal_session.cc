#include "pool/account/terminal_session.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "base/write_all.h"
#include "pool/account/fatal_error_sink.h"
#include "pool/account/tenancy.h"
#include "pool/posix/system_error.h"

namespace moxtile {
namespace {

constexpr const char* kNoProcess = "The process is None";

// Keeps SIGPIPE from the calling thread for its scope: a write to a shell that
// has gone away must fail with EPIPE, not end a caller whose SIGPIPE is at its
// default action. A SIGPIPE our write raised is consumed before the old mask
// comes back; one that was pending already is left for its owner.
class SigpipeBlocked final {
 public:
  SigpipeBlocked() noexcept {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_mask_);
    sigset_t pending;
    was_pending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeBlocked() {
    if (raised_ && !was_pending_) {
      const timespec zero = {0, 0};
      while (::sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

  // Records that a write failed with EPIPE, so a SIGPIPE is now pending.
  void note_broken_pipe() noexcept { raised_ = true; }

 private:
  sigset_t pipe_;
  sigset_t old_mask_;
  bool was_pending_ = false;
  bool raised_ = false;
};

}  // namespace

TerminalSession::TerminalSession(SharedUser user, PipedChild process)
    : user_(std::move(user)), process_(std::move(process)) {}

TerminalSession::~TerminalSession() {
  try {
    close();
  } catch (const Panic& fatal) {
    report_fatal_error(fatal);
  }
}

TermResult<void> TerminalSession::write(std::span<const std::uint8_t> data) {
  if (!process_) return TermError{kNoProcess};
  if (!process_->in) return TermError{"Failed to get the stdin of the process"};
  SigpipeBlocked no_sigpipe;
  if (const int err = write_all(process_->in.get(), data); err != 0) {
    if (err == EPIPE) no_sigpipe.note_broken_pipe();
    return TermError{"Failed to write to the stdin of the process: " + system_error_text(err)};
  }
  return {};
}

TermResult<std::size_t> TerminalSession::read_pipe(const UniqueFd PipedChild::* end,
                                                   std::span<std::uint8_t> buffer,
                                                   const char* missing, const char* failed) {
  if (!process_) return TermError{kNoProcess};
  const UniqueFd& fd = (*process_).*end;
  if (!fd) return TermError{missing};
  if (buffer.empty()) return std::size_t{0};
  ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
  if (n < 0) return TermError{failed};
  return static_cast<std::size_t>(n);
}

TermResult<std::size_t> TerminalSession::read_stdout(std::span<std::uint8_t> buffer) {
  return read_pipe(&PipedChild::out, buffer, "Failed to get the stdout of the process",
                   "Failed to read stdout");
}

TermResult<std::size_t> TerminalSession::read_stderr(std::span<std::uint8_t> buffer) {
  return read_pipe(&PipedChild::err, buffer, "Failed to get the stderr of the process",
                   "Failed to read stderr");
}

void TerminalSession::close() {
  if (!process_) return;
  PipedChild child = std::move(*process_);
  process_.reset();
  // In a forked copy `su` is not our child (by now its pid may even name
  // another process): stopping it is the original's business.
  if (!started_in_.is_current()) return;
  // Not reaped before this point, so the pid is still ours even if su has exited.
  if (::kill(child.pid, SIGKILL) != 0) {
    panic("Failed to kill the terminal session: " + system_error_text(errno));
  }
  (void)wait_child(child.pid);
}  // the pipes close with `child`

std::string start_script(const std::string& home) {
  return "export HOME=\"" + home + "\"; cd \"" + home + "\"; exec /bin/bash";
}

PoolResult<std::unique_ptr<TerminalSession>> spawn_terminal(SharedUser user) {
  std::string username;
  std::string home;
  SharedTenancy tenancy;
  {
    auto guard = user->lock();
    username = guard->username();
    home = guard->home();
    tenancy = guard->tenancy();
  }
  const std::vector<std::string> argv = {"su",    "-s", "/bin/bash", "-P", "-c", start_script(home),
                                         username};
  auto child = spawn_in_tenancy(argv, tenancy.get());
  if (!child) {
    return pool_error("Failed to create the terminal session: " + system_error_text(child.error()));
  }
  return std::make_unique<TerminalSession>(std::move(user), std::move(*child));
}

}  // namespace moxtile
