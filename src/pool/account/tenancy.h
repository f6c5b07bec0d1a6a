// Tenancy: what one hand-out of an account is kept in, from hand-out to
// release: its private world, its cgroup (when the host gives one) and the
// per-process limits every session starts with.
//
// Shared (SharedTenancy) by the User and, while they start, by its
// sessions; release, as the last holder, kills and removes the cgroup.
// Thread-safety: fixed once made, except by its last holder.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "pool/account/pool_result.h"
#include "pool/posix/cgroup.h"
#include "pool/posix/child_process.h"
#include "pool/posix/private_world.h"
#include "pool/posix/process_limits.h"
#include "pool/posix/sys_result.h"

namespace moxtile {

struct Tenancy {
  PrivateWorld world;
  std::optional<Cgroup> cgroup;  // none where the host gives none and less was accepted
  ProcessLimits limits;
};

using SharedTenancy = std::shared_ptr<Tenancy>;

// Starts `argv` as a process of `tenancy`: from a thread of our own that
// enters the tenancy's world and (v1) its cgroup, forbids new privileges and
// joins a new, empty session keyring, all of which the child inherits while
// the rest of the process keeps its own; on v2 the child is moved into the
// cgroup, and the per-process limits are set on it, before it can start
// anything. A child whose containment cannot be completed is killed, and the
// start fails with the step that failed.
SysResult<PipedChild> spawn_in_tenancy(const std::vector<std::string>& argv,
                                       const Tenancy* tenancy);

// What the tenancy has used so far, or why that cannot be told (no cgroup).
PoolResult<CgroupUsage> tenancy_usage(const Tenancy* tenancy);

}  // namespace moxtile
