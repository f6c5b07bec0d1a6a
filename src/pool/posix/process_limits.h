// Limits that the kernel keeps per process and a child inherits: resource
// limits and the OOM killer's preference. Set on a process of ours right after
// it starts, before it starts any other.
// Thread-safe: no shared state.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "pool/posix/sys_result.h"

namespace moxtile {

struct ProcessLimits {
  std::uint64_t max_user_processes = 0;  // RLIMIT_NPROC, counted per uid; 0: unchanged
  std::uint64_t max_file_bytes = 0;      // RLIMIT_FSIZE; 0: unchanged
  bool core_dumps = true;                // false: RLIMIT_CORE 0
  int oom_score_adj = 0;                 // -1000..1000; 0: unchanged
};

// Applies `limits` to process `pid` (soft and hard limits alike, so that it
// cannot raise them again). Fails with the step that failed.
SysResult<void> apply_process_limits(pid_t pid, const ProcessLimits& limits);

// The host's largest process id plus one (/proc/sys/kernel/pid_max), or 0.
std::uint64_t host_pid_max();

}  // namespace moxtile
