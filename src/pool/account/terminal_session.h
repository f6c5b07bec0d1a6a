// TerminalSession: a real /bin/bash running as a pool account, driven as
// byte streams through three pipes.
//
// The shell is started through `su -s /bin/bash -P -c <script> <username>`,
// inside the tenancy's private world, with no new privileges and a new
// session keyring of its own;
// the session passes bytes through unchanged and knows nothing of commands or
// lines. It holds its User, so the account stays allocated until the session
// (and every other holder of the User) is gone. close() kills `su` (SIGKILL),
// reaps it and closes the pipes; destruction closes, then drops the User.
// The shell belongs to the process that started it: a copy of the session
// that fork() leaves in a child only closes its own ends of the pipes.
//
// Thread-safety: not synchronised; the owner serialises every call (the
// Python object holds the session behind its own mutex). Reads and writes
// block. A write into a shell that has exited fails with EPIPE and never
// raises SIGPIPE in the caller, whatever its SIGPIPE disposition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "pool/account/pool_result.h"
#include "pool/account/user.h"
#include "pool/posix/child_process.h"
#include "pool/posix/owner_process.h"
#include "terminal/async_terminal.h"

namespace moxtile {

class TerminalSession final : public AsyncTerminal {
 public:
  TerminalSession(SharedUser user, PipedChild process);
  ~TerminalSession() override;
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  // Writes all of `data` to the shell's input, blocking until it is taken.
  TermResult<void> write(std::span<const std::uint8_t> data) override;
  // One read of at most buffer.size() bytes; 0 at end of stream or for an
  // empty buffer. Blocks until something arrives. Interrupted reads fail.
  TermResult<std::size_t> read_stdout(std::span<std::uint8_t> buffer) override;
  TermResult<std::size_t> read_stderr(std::span<std::uint8_t> buffer) override;

  // The read end of the shell's standard output, for waiting on it with
  // poll/select; empty once closed. Still the session's: never to be closed.
  std::optional<int> stdout_fd() const noexcept {
    if (!process_ || !process_->out) return std::nullopt;
    return process_->out.get();
  }

  // Kills and reaps `su` and closes the pipes; a closed session stays closed.
  // Throws Panic if the kill signal cannot be sent.
  void close();

 private:
  TermResult<std::size_t> read_pipe(const UniqueFd PipedChild::* end,
                                    std::span<std::uint8_t> buffer, const char* missing,
                                    const char* failed);

  SharedUser user_;
  std::optional<PipedChild> process_;  // emptied by close(), never filled again
  OwnerProcess started_in_;            // the process whose child `su` is
};

// The script `su` gives to bash: set HOME, enter it, and become a fresh bash
// reading the session's input. `home` goes in verbatim, between double quotes.
std::string start_script(const std::string& home);

// Starts a session as `user` (taken over; dropped on failure). Returns the
// session or "Failed to create the terminal session: <system error text>".
// Throws Panic if the User's lock is poisoned.
PoolResult<std::unique_ptr<TerminalSession>> spawn_terminal(SharedUser user);

}  // namespace moxtile
