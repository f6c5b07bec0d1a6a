// Child processes of the pool: host tools whose output is captured, and
// long-running children driven through three pipes.
//
// Children are started with posix_spawnp (PATH search, the caller's
// environment and working directory), which does not copy the caller's page
// tables, so the cost of a start does not grow with the caller's memory. A
// failure to start, including a failed exec, is reported by the starting call.
// In the child the signal mask is empty and SIGPIPE has its default action.
// The parent's pipe ends are close-on-exec, so no other child inherits them.
//
// Thread-safe: the functions share no state; each returned object has one owner.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "pool/posix/sys_result.h"
#include "pool/posix/unique_fd.h"

namespace moxtile {

// How a child ended: a normal exit code, or the signal that killed it.
struct ExitStatus {
  std::optional<int> code;  // present iff the child exited normally
  int signal = 0;           // the killing signal when `code` is absent

  // Success means a normal exit with code 0.
  bool success() const noexcept { return code.has_value() && *code == 0; }
};

struct ToolOutput {
  ExitStatus status;
  std::string out;  // everything the tool wrote to its standard output
  std::string err;  // everything the tool wrote to its standard error
};

// Runs argv[0] (found through PATH) with argv, standard input empty
// (/dev/null), standard output and error captured, and waits for it.
// Returns the errno of a failed start (e.g. ENOENT when the tool is not found)
// or of a failed read or wait.
// REQUIRES: argv is not empty.
SysResult<ToolOutput> run_tool(const std::vector<std::string>& argv);

// A running child and the parent's ends of its standard input, output and
// error pipes (ordinary blocking descriptors). Destroying it closes the pipes
// but neither signals nor reaps the child: the owner does that.
struct PipedChild {
  pid_t pid = -1;
  UniqueFd in;   // write end of the child's standard input
  UniqueFd out;  // read end of the child's standard output
  UniqueFd err;  // read end of the child's standard error
};

// Starts argv[0] (found through PATH) with three new pipes as its standard
// streams, without waiting for it. Returns the errno of a failed start.
// REQUIRES: argv is not empty.
SysResult<PipedChild> spawn_piped(const std::vector<std::string>& argv);

// Blocks until child `pid` has ended and reaps it (EINTR is retried).
// Returns its status, or the errno of the failed wait.
SysResult<ExitStatus> wait_child(pid_t pid);

// How a child waited for with a deadline ended.
struct BoundedExit {
  ExitStatus status;
  bool killed_at_deadline = false;  // still running or stopped then, so sent SIGKILL
};

// Waits up to `timeout_ms` for child `pid` to end, then sends it SIGKILL (a
// stopped child never keeps the caller waiting longer); reaps it either way.
// Returns how it ended, or the errno of a failed wait, after which the child
// may still be running. The pid must be the caller's unreaped child, so the
// kill cannot reach another process.
SysResult<BoundedExit> wait_child_until(pid_t pid, int timeout_ms);

}  // namespace moxtile
