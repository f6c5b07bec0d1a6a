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

std::string alloc_failed(const std::string& why) { return std::string(kAllocFailed) + ": " + why; }

// Step 4 of hand-out: the tenancy's cgroup, or none where the host gives no
// cgroup at all and less is accepted.
PoolResult<std::optional<Cgroup>> make_cgroup(const PoolEntry& entry,
                                              const ContainmentSettings& settings) {
  const CgroupKind kind = cgroup_kind();
  if (kind == CgroupKind::kNone) {
    if (settings.accept_less) return std::optional<Cgroup>();
    return pool_error(alloc_failed("the host gives no cgroup for the tenancy's limits"));
  }
  auto made = Cgroup::create(kind, kCgroupParent, parent_cgroup_limits(settings), entry.username,
                             tenancy_cgroup_limits(settings));
  // A host that gives cgroups but refuses a limit asked for is never "less":
  // no tenant runs without the limits it was given.
  if (!made) return pool_error(alloc_failed(system_error_text(made.error())));
  return std::optional<Cgroup>(std::move(*made));
}

// Steps 2 to 5 of hand-out, without the pool's lock.
PoolResult<SharedUser> open_tenancy(PoolEntry& entry, const ContainmentSettings& settings,
                                    SharedUserPool& pool) {
  if (auto stopped = kill_account_processes(entry.uid); !stopped) {
    return pool_error(alloc_failed(stopped.error()));
  }
  auto home = prepare_home(kHomeRoot, entry.username, entry.uid);
  if (!home) return pool_error(std::move(home).error());
  auto tenancy = std::make_shared<Tenancy>();
  tenancy->limits = tenant_process_limits(settings);
  auto cgroup = make_cgroup(entry, settings);
  if (!cgroup) return pool_error(std::move(cgroup).error());
  tenancy->cgroup = std::move(*cgroup);
  auto world = PrivateWorld::make(world_plan(settings, *home));
  if (!world) return pool_error(alloc_failed(system_error_text(world.error())));
  tenancy->world = std::move(*world);
  return std::make_shared<PoisonableMutex<User>>(std::move(entry.username), std::move(*home), pool,
                                                 entry.uid, std::move(tenancy));
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

void release_account(std::uint32_t uid, SharedTenancy tenancy, const SharedUserPool& pool) {
  std::string problem = pkill_problem(run_tool({"pkill", "-u", std::to_string(uid)}));
  if (!problem.empty()) write_stderr_line(kKillWarning + problem);

  // The last holder: every session is gone, so nothing of ours is inside.
  bool clean = true;
  if (tenancy && tenancy->cgroup) {
    if (auto killed = tenancy->cgroup->kill_all(); !killed) {
      write_stderr_line(kKillWarning + system_error_text(killed.error()));
      clean = false;
    }
  }
  if (auto stopped = kill_account_processes(uid); !stopped) {
    write_stderr_line(kKillWarning + stopped.error());
    clean = false;
  }
  if (tenancy) {
    tenancy->world.dissolve();
    if (tenancy->cgroup) {
      if (auto removed = tenancy->cgroup->remove(); !removed) {
        write_stderr_line("⚠️ Failed to remove the tenancy's cgroup: " +
                          system_error_text(removed.error()));
        clean = false;
      }
    }
    tenancy.reset();
  }

  if (!pool) return;
  auto guard = pool->lock();
  if (clean) {
    guard->give_back(uid);
  } else {
    guard->put_aside(uid);
  }
}

}  // namespace moxtile
