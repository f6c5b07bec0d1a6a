// Cgroup: the control group of one tenancy, under a parent group of ours, with
// its limits, its usage, and a kill that no process inside can outlive.
//
// cgroup v2 gives one hierarchy; cgroup v1 gives one per controller (pids,
// memory, cpu, cpuacct, freezer; cpu and cpuacct may share one), and a group
// is then a directory of the same name in each. Every access goes through
// directory descriptors opened once at creation.
//
// Thread-safe: the host detection runs once and is then read-only; functions
// share no other state. A Cgroup object has one owner: its const members may
// run concurrently, kill_all() and remove() not with anything else on it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/posix/sys_result.h"
#include "pool/posix/unique_fd.h"

namespace moxtile {

enum class CgroupKind { kNone, kV1, kV2 };

// Writable cgroup mounts listed in a /proc/self/mountinfo text, before any
// check of what they offer.
struct CgroupMounts {
  std::vector<std::string> v2;  // cgroup2 mount points, /sys/fs/cgroup first
  // The first v1 mount point of each controller; empty where none.
  std::string pids, memory, cpu, cpuacct, freezer;
};

// Parses a mountinfo text (mount points unescaped, read-only mounts left out).
CgroupMounts parse_cgroup_mounts(std::string_view mountinfo);

// What the host offers, probed once: each kind is usable or not, and the one
// used by default is v2 when usable, else v1.
struct CgroupHost {
  CgroupKind preferred = CgroupKind::kNone;
  // Root of a cgroup2 hierarchy that offers pids and memory; empty if none.
  std::string v2;
  // v1 mount points: all set (pids, memory, cpu, cpuacct and freezer writable)
  // or all empty.
  std::string pids, memory, cpu, cpuacct, freezer;

  // Whether create() can make groups of `kind` (never for kNone).
  bool usable(CgroupKind kind) const;
};

// The host's cgroups, probed on first call from /proc/self/mountinfo and the
// file system type of each candidate; later calls return the same object.
const CgroupHost& cgroup_host();

// The kind used by default: cgroup_host().preferred.
CgroupKind cgroup_kind();

// "none", "v1" or "v2".
const char* cgroup_kind_name(CgroupKind kind);

struct CgroupLimits {
  std::uint64_t max_tasks = 0;  // processes plus threads; 0: no limit
  // Memory charged to the group, tmpfs and shared-memory pages included; swap
  // cannot extend it (v2 memory.swap.max 0, v1 memsw, or swappiness 0 where
  // swap is not accounted). The kernel rounds it down to whole pages. 0: no
  // limit.
  std::uint64_t max_memory_bytes = 0;
  // Relative CPU weight, 1..10000 (100 = default; larger values are clamped);
  // v1 cpu.shares = weight * 1024 / 100. 0: the default.
  std::uint32_t cpu_weight = 0;
  // Hard CPU cap, 1000 = one core, at least 10 (smaller values are raised).
  // 0: no cap.
  std::uint64_t cpu_quota_millicores = 0;
};

struct CgroupUsage {
  std::uint64_t cpu_usec = 0;      // CPU time used so far, user plus system
  std::uint64_t memory_bytes = 0;  // charged now
  // Highest charge so far; the current one where the kernel keeps none.
  std::uint64_t memory_peak_bytes = 0;
  // Processes plus threads now, zombies not yet reaped included.
  std::uint64_t tasks = 0;
  // Processes the OOM killer ended inside. Always 0 on v1 kernels older than
  // 4.13, whose memory.oom_control does not count them (memory.failcnt counts
  // failed charges, not kills).
  std::uint64_t oom_kills = 0;
};

class Cgroup final {
 public:
  // Makes the group `name` with `limits` under `parent` (made if missing, with
  // `parent_limits`, under the root of each hierarchy used); a leftover `name`
  // is killed, removed and made anew; fails with the step that failed and never
  // returns a group lacking a limit asked for (on v2 a cpu limit needs the cpu
  // controller, which is enabled where the host offers it).
  static SysResult<Cgroup> create(CgroupKind kind, const std::string& parent,
                                  const CgroupLimits& parent_limits, const std::string& name,
                                  const CgroupLimits& limits);

  Cgroup(Cgroup&& other) noexcept;
  Cgroup& operator=(Cgroup&& other) noexcept;
  Cgroup(const Cgroup&) = delete;
  Cgroup& operator=(const Cgroup&) = delete;
  // Does what remove() does, silently, unless done.
  ~Cgroup();

  // The kind given to create(); kNone once removed.
  CgroupKind kind() const { return kind_; }

  // v2: a descriptor of the group's directory, for clone3(CLONE_INTO_CGROUP) or
  // posix_spawnattr_setcgroup_np, so that a child starts inside; -1 on v1.
  int directory_fd() const;

  // v1: moves the calling thread alone into the group, so that the children it
  // starts begin inside; the caller uses a thread it then ends. EOPNOTSUPP on
  // v2, which cannot split a process's threads across groups.
  SysResult<void> enter_calling_thread() const;

  // Moves process `pid` (every thread of it) into the group, in every
  // hierarchy: for a child started outside, before it starts any other.
  SysResult<void> adopt(pid_t pid) const;

  // The group's usage now.
  SysResult<CgroupUsage> usage() const;

  // Kills every process in the group at once and waits, about a second at
  // most, until the group is empty; a process of our own inside is not killed
  // and makes this fail at once with EBUSY.
  SysResult<void> kill_all();

  // Kills what is left and removes the group's directories; after success the
  // object is empty, after a failure it may be called again.
  SysResult<void> remove();

 private:
  // One hierarchy: the parent's and the group's directories in it.
  struct Hierarchy {
    unsigned controllers = 0;  // kCtl* bits served by this hierarchy
    UniqueFd parent;
    UniqueFd dir;
  };

  Cgroup(CgroupKind kind, std::string name) : kind_(kind), name_(std::move(name)) {}
  int fd_of(unsigned controller) const;
  SysResult<bool> empty() const;
  SysResult<std::vector<pid_t>> processes() const;
  SysResult<std::vector<pid_t>> kill_listed(const std::vector<pid_t>& pids, pid_t self) const;

  CgroupKind kind_ = CgroupKind::kNone;
  std::string name_;
  std::vector<Hierarchy> hierarchies_;
};

// Removes the parent group `parent` from each hierarchy of `kind` (nothing
// there is success); fails with EBUSY if it still holds groups after about a
// second of retries.
SysResult<void> remove_cgroup_parent(CgroupKind kind, const std::string& parent);

}  // namespace moxtile
