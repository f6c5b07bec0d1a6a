// What each tenancy is kept in: the settings a pool's owner chooses, and a
// report of what the host actually gives.
//
// Every tenant process runs with no new privileges, inside a private world
// of its tenancy (private_world.h): its own mount and IPC namespaces, private
// /tmp, /var/tmp, /dev/shm and /run/lock, its home and no other, a read-only
// host, a /proc of its own processes and, when asked, no network but
// loopback; and inside a cgroup of its tenancy (cgroup.h), with limits on its
// processes, memory and CPU, under one parent group for all tenancies.
// Settings apply to the accounts handed out after they are made.
// Thread-safety: plain values; the pool guards its copy with its lock.
#pragma once

#include <cstdint>
#include <string>

#include "pool/posix/cgroup.h"
#include "pool/posix/private_world.h"
#include "pool/posix/process_limits.h"

namespace moxtile {

struct ContainmentSettings {
  bool cut_network = false;                  // a network namespace holding only loopback
  bool accept_less = false;                  // hand out even where the host cannot give a layer
  std::uint64_t private_space_mib = 2048;    // the size of each private place
  std::uint64_t max_tasks = 1024;            // processes plus threads per tenancy
  std::uint64_t max_memory_mib = 0;          // per tenancy; 0: all_tenants_memory_mib
  std::uint64_t all_tenants_memory_mib = 0;  // 0: the host's memory less a reserve
  std::uint32_t tenants_cpu_weight = 10;     // all tenancies together; the harness has 100
  std::uint64_t cpu_quota_millicores = 0;    // per tenancy; 0: none
  std::uint64_t max_file_mib = 0;            // 0: no limit
  bool core_dumps = false;
};

// The places every account could write to on the host, private per tenancy.
inline constexpr const char* kPrivatePlaces[] = {"/tmp", "/var/tmp", "/dev/shm", "/run/lock"};
// The parent group of every tenancy's cgroup.
inline constexpr const char* kCgroupParent = "moxtile";
// What the tenants' processes are to the OOM killer: its first choice.
inline constexpr int kTenantOomScoreAdj = 1000;

// The plan of a tenancy's world under `settings`, showing `home` ("" for none).
WorldPlan world_plan(const ContainmentSettings& settings, const std::string& home);

// The memory all tenancies together may use by default: the host's memory
// less a reserve for the harness and the host (an eighth, at least 1 GiB).
std::uint64_t default_all_tenants_memory_mib();

// The cgroup limits of one tenancy and of the parent of all, under `settings`.
CgroupLimits tenancy_cgroup_limits(const ContainmentSettings& settings);
CgroupLimits parent_cgroup_limits(const ContainmentSettings& settings);

// The per-process limits of every tenant process under `settings`.
ProcessLimits tenant_process_limits(const ContainmentSettings& settings);

// What a tenancy made now under `settings` would have, found by making a world
// without a home and letting it go. `error` holds why making it failed.
struct ContainmentReport {
  WorldLayers layers;
  CgroupKind cgroup = CgroupKind::kNone;
  std::string error;
};
ContainmentReport probe_containment(const ContainmentSettings& settings);

}  // namespace moxtile
