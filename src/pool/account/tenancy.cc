#include "pool/account/tenancy.h"

#include <errno.h>
#include <linux/keyctl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "pool/posix/own_thread.h"
#include "pool/posix/system_error.h"

namespace moxtile {

SysResult<PipedChild> spawn_in_tenancy(const std::vector<std::string>& argv,
                                       const Tenancy* tenancy) {
  auto started = in_own_thread([&]() -> SysResult<PipedChild> {
    if (tenancy != nullptr) {
      if (auto entered = tenancy->world.enter(); !entered) return sys_error(entered.error());
      if (tenancy->cgroup && tenancy->cgroup->kind() == CgroupKind::kV1) {
        if (auto joined = tenancy->cgroup->enter_calling_thread(); !joined) {
          return sys_error(joined.error());
        }
      }
    }
    if (auto forbidden = forbid_new_privileges(); !forbidden) return sys_error(forbidden.error());
    // su gives the shell no session keyring of its own: without a new one it
    // would share the harness's with every other tenant.
    if (::syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, nullptr) < 0 && errno != ENOSYS &&
        errno != EPERM) {
      // ENOSYS: no keyrings in this kernel. EPERM: key calls are filtered
      // out for this process, and so for every tenant it starts.
      return sys_error(errno, "join a new session keyring");
    }
    return spawn_piped(argv);
  });
  if (!started || tenancy == nullptr) return started;

  // su authenticates before it starts the shell, so these land first.
  SysResult<void> contained;
  if (tenancy->cgroup && tenancy->cgroup->kind() == CgroupKind::kV2) {
    contained = tenancy->cgroup->adopt(started->pid);
  }
  if (contained) contained = apply_process_limits(started->pid, tenancy->limits);
  if (!contained) {
    ::kill(started->pid, SIGKILL);
    (void)wait_child(started->pid);
    return sys_error(contained.error());
  }
  return started;
}

PoolResult<CgroupUsage> tenancy_usage(const Tenancy* tenancy) {
  if (tenancy == nullptr || !tenancy->cgroup) {
    return pool_error("The tenancy has no cgroup that counts its usage");
  }
  auto usage = tenancy->cgroup->usage();
  if (!usage) return pool_error(system_error_text(usage.error()));
  return *usage;
}

}  // namespace moxtile
