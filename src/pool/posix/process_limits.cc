#include "pool/posix/process_limits.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pool/posix/unique_fd.h"

namespace moxtile {
namespace {

int set_limit(pid_t pid, int resource, std::uint64_t value) {
  const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
  return ::prlimit(pid, static_cast<__rlimit_resource>(resource), &limit, nullptr) == 0 ? 0 : errno;
}

}  // namespace

SysResult<void> apply_process_limits(pid_t pid, const ProcessLimits& limits) {
  if (limits.max_user_processes != 0) {
    if (int e = set_limit(pid, RLIMIT_NPROC, limits.max_user_processes); e != 0) {
      return sys_error(e, "limit the tenant's processes");
    }
  }
  if (limits.max_file_bytes != 0) {
    if (int e = set_limit(pid, RLIMIT_FSIZE, limits.max_file_bytes); e != 0) {
      return sys_error(e, "limit the tenant's file size");
    }
  }
  if (!limits.core_dumps) {
    if (int e = set_limit(pid, RLIMIT_CORE, 0); e != 0) return sys_error(e, "turn core dumps off");
  }
  if (limits.oom_score_adj != 0) {
    char path[48];
    // Every pid fits.
    static_cast<void>(
        std::snprintf(path, sizeof path, "/proc/%d/oom_score_adj", static_cast<int>(pid)));
    UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
    const std::string value = std::to_string(limits.oom_score_adj);
    if (!fd ||
        ::write(fd.get(), value.data(), value.size()) != static_cast<ssize_t>(value.size())) {
      return sys_error(errno, "make the tenant the OOM killer's first choice");
    }
  }
  return {};
}

std::uint64_t host_pid_max() {
  UniqueFd fd(::open("/proc/sys/kernel/pid_max", O_RDONLY | O_CLOEXEC));
  char text[32] = {};
  if (!fd || ::read(fd.get(), text, sizeof text - 1) <= 0) return 0;
  return std::strtoull(text, nullptr, 10);
}

}  // namespace moxtile
