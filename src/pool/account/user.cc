#include "pool/account/user.h"

#include <string>
#include <utility>

#include "base/utf8_lossy.h"
#include "pool/account/account_processes.h"
#include "pool/posix/child_process.h"
#include "pool/account/fatal_error_sink.h"
#include "pool/posix/stderr_line.h"
#include "pool/posix/system_error.h"
#include "pool/account/user_pool.h"

namespace moxtile {
namespace {

constexpr const char* kKillWarning = "⚠️ Failed to kill all processes of the user: ";

// The warning detail for a `pkill` run, or "" when it went as expected.
// Exit codes 0 (signalled some), 1 (none found) and 2 (syntax) are all accepted.
std::string pkill_problem(const SysResult<ToolOutput>& run) {
  if (!run) return "Failed to execute the command `pkill`: " + system_error_text(run.error());
  const ExitStatus& status = run->status;
  if (status.code && *status.code <= 2) return {};
  const std::string& err = run->err;
  return "Failed exit code: " + (status.code ? std::to_string(*status.code) : std::string("None")) +
         " (" + (is_valid_utf8(err) ? err : std::string()) + ")";
}

}  // namespace

User::User(std::string username, std::string home, SharedUserPool pool, std::uint32_t uid)
    : username_(std::move(username)), home_(std::move(home)), pool_(std::move(pool)), uid_(uid) {}

User::~User() {
  try {
    release();
  } catch (const Panic& fatal) {
    report_fatal_error(fatal);
  }
}

void User::release() {
  if (!allocated_in_.is_current()) return;
  std::string problem = pkill_problem(run_tool({"pkill", "-u", std::to_string(uid_)}));
  if (!problem.empty()) write_stderr_line(kKillWarning + problem);

  // `pkill` sends SIGTERM, which a process may ignore; none may outlive the
  // release into the account's next allocation.
  if (std::size_t left = kill_account_processes(uid_); left != 0) {
    write_stderr_line(kKillWarning + std::to_string(left) + " still running after SIGKILL");
  }

  SharedUserPool pool = std::exchange(pool_, nullptr);
  if (!pool) return;
  pool->lock()->give_back(uid_);
}

}  // namespace moxtile
