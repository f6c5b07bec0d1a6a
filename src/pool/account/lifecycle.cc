#include "pool/account/lifecycle.h"

#include <string>
#include <utility>

#include "base/utf8_lossy.h"
#include "pool/account/account_processes.h"
#include "pool/account/home_directory.h"
#include "pool/account/user_pool.h"
#include "pool/posix/child_process.h"
#include "pool/posix/stderr_line.h"
#include "pool/posix/system_error.h"

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

// Steps 2 to 4 of hand-out, without the pool's lock.
PoolResult<SharedUser> open_tenancy(PoolEntry& entry, const ContainmentSettings& settings,
                                    SharedUserPool& pool) {
  if (auto stopped = kill_account_processes(entry.uid); !stopped) {
    return pool_error(std::string(kAllocFailed) + ": " + stopped.error());
  }
  auto home = prepare_home(kHomeRoot, entry.username, entry.uid);
  if (!home) return pool_error(std::move(home).error());
  auto world = PrivateWorld::make(world_plan(settings, *home));
  if (!world) return pool_error(std::string(kAllocFailed) + ": " + system_error_text(world.error()));
  return std::make_shared<PoisonableMutex<User>>(
      std::move(entry.username), std::move(*home), pool, entry.uid,
      std::make_shared<const PrivateWorld>(std::move(*world)));
}

}  // namespace

PoolResult<SharedUser> alloc_user(SharedUserPool pool) {
  PoolEntry entry;
  ContainmentSettings settings;
  {
    auto guard = pool->lock();
    auto taken = guard->take_account();
    if (!taken) return pool_error(std::move(taken).error());
    entry = std::move(*taken);
    settings = guard->settings();
  }
  const std::uint32_t uid = entry.uid;
  auto user = open_tenancy(entry, settings, pool);
  if (!user) pool->lock()->put_aside(uid);
  return user;
}

void release_account(std::uint32_t uid, SharedWorld world, const SharedUserPool& pool) {
  std::string problem = pkill_problem(run_tool({"pkill", "-u", std::to_string(uid)}));
  if (!problem.empty()) write_stderr_line(kKillWarning + problem);

  auto stopped = kill_account_processes(uid);
  if (!stopped) write_stderr_line(kKillWarning + stopped.error());
  world.reset();  // the last holder: every session is gone, and so is every process

  if (!pool) return;
  auto guard = pool->lock();
  if (stopped) {
    guard->give_back(uid);
  } else {
    guard->put_aside(uid);
  }
}

}  // namespace moxtile
