#include "pool/account/containment.h"

#include <unistd.h>

#include <algorithm>

#include "pool/posix/system_error.h"

namespace moxtile {

WorldPlan world_plan(const ContainmentSettings& settings, const std::string& home) {
  WorldPlan plan;
  plan.private_places.assign(std::begin(kPrivatePlaces), std::end(kPrivatePlaces));
  plan.place_size_bytes = settings.private_space_mib << 20;
  plan.shown_directory = home;
  plan.private_network = settings.cut_network;
  plan.accept_less = settings.accept_less;
  return plan;
}

std::uint64_t default_all_tenants_memory_mib() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  const std::uint64_t total =
      (static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size)) >> 20;
  const std::uint64_t reserve = std::max<std::uint64_t>(total / 8, 1024);
  return total > 2 * reserve ? total - reserve : total / 2;
}

CgroupLimits parent_cgroup_limits(const ContainmentSettings& settings) {
  CgroupLimits limits;
  const std::uint64_t all = settings.all_tenants_memory_mib != 0 ? settings.all_tenants_memory_mib
                                                                 : default_all_tenants_memory_mib();
  limits.max_memory_bytes = all << 20;
  limits.cpu_weight = settings.tenants_cpu_weight;
  return limits;
}

CgroupLimits tenancy_cgroup_limits(const ContainmentSettings& settings) {
  CgroupLimits limits;
  limits.max_tasks = settings.max_tasks;
  const std::uint64_t mib = settings.max_memory_mib != 0
                                ? settings.max_memory_mib
                                : parent_cgroup_limits(settings).max_memory_bytes >> 20;
  limits.max_memory_bytes = mib << 20;
  limits.cpu_quota_millicores = settings.cpu_quota_millicores;
  return limits;
}

ProcessLimits tenant_process_limits(const ContainmentSettings& settings) {
  ProcessLimits limits;
  // A backstop for a tenancy without a cgroup: the account's processes stay
  // well below the host's process ids.
  const std::uint64_t pid_max = host_pid_max();
  limits.max_user_processes = pid_max != 0 ? std::max<std::uint64_t>(pid_max / 2, 64) : 0;
  if (settings.max_tasks != 0) {
    limits.max_user_processes = limits.max_user_processes == 0
                                    ? settings.max_tasks
                                    : std::min(limits.max_user_processes, settings.max_tasks);
  }
  limits.max_file_bytes = settings.max_file_mib << 20;
  limits.core_dumps = settings.core_dumps;
  limits.oom_score_adj = kTenantOomScoreAdj;
  return limits;
}

ContainmentReport probe_containment(const ContainmentSettings& settings) {
  ContainmentReport report;
  report.cgroup = cgroup_kind();
  auto world = PrivateWorld::make(world_plan(settings, ""));
  if (world) {
    report.layers = world->layers();
  } else {
    report.error = system_error_text(world.error());
  }
  return report;
}

}  // namespace moxtile
