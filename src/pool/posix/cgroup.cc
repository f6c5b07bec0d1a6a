#include "pool/posix/cgroup.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <limits>
#include <optional>
#include <thread>
#include <utility>

namespace moxtile {
namespace {

constexpr unsigned kCtlPids = 1;
constexpr unsigned kCtlMemory = 2;
constexpr unsigned kCtlCpu = 4;
constexpr unsigned kCtlCpuacct = 8;
constexpr unsigned kCtlFreezer = 16;

// Long enough for a few hundred dying processes to free their memory; short
// enough that a caller waiting on a stuck group is not held up for long.
constexpr std::chrono::milliseconds kEmptyWait{1000};
constexpr std::uint64_t kCpuPeriodUsec = 100000;

using Clock = std::chrono::steady_clock;

// ---- Files of a group --------------------------------------------------------

SysResult<UniqueFd> open_dir_at(int at, const char* path, const char* step) {
  for (;;) {
    int fd = ::openat(at, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return sys_error(errno, step);
  }
}

bool has_file(int dir, const char* file) {
  struct stat st;
  return ::fstatat(dir, file, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// A cgroup file takes one value per write(), so the text goes in one call.
SysResult<void> write_file(int dir, const char* file, std::string_view text, const char* step) {
  int raw;
  do raw = ::openat(dir, file, O_WRONLY | O_CLOEXEC);
  while (raw < 0 && errno == EINTR);
  if (raw < 0) return sys_error(errno, step);
  UniqueFd fd(raw);
  ssize_t n;
  do n = ::write(fd.get(), text.data(), text.size());
  while (n < 0 && errno == EINTR);
  if (n < 0) return sys_error(errno, step);
  if (static_cast<std::size_t>(n) != text.size()) return sys_error(EIO, step);
  return {};
}

SysResult<void> write_number(int dir, const char* file, std::uint64_t value, const char* step) {
  return write_file(dir, file, std::to_string(value), step);
}

SysResult<std::string> read_file(int dir, const char* file, const char* step) {
  int raw;
  do raw = ::openat(dir, file, O_RDONLY | O_CLOEXEC);
  while (raw < 0 && errno == EINTR);
  if (raw < 0) return sys_error(errno, step);
  UniqueFd fd(raw);
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return text;
    } else if (errno != EINTR) {
      return sys_error(errno, step);
    }
  }
}

std::string_view trim(std::string_view s) {
  const char* space = " \t\n";
  std::size_t b = s.find_first_not_of(space);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(space) - b + 1);
}

// A decimal number, with "max" as the largest.
std::optional<std::uint64_t> parse_number(std::string_view s) {
  s = trim(s);
  if (s == "max") return std::numeric_limits<std::uint64_t>::max();
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

// The value of `key` in a text of "key value" lines.
std::optional<std::uint64_t> keyed_number(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ' ')
      return parse_number(line.substr(key.size() + 1));
  }
  return std::nullopt;
}

bool has_word(std::string_view text, std::string_view word, char sep = ' ') {
  while (!text.empty()) {
    std::size_t end =
        text.find_first_of(sep == ' ' ? std::string_view(" \n") : std::string_view(&sep, 1));
    if (text.substr(0, end) == word) return true;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return false;
}

SysResult<std::uint64_t> read_number(int dir, const char* file, const char* step) {
  auto text = read_file(dir, file, step);
  if (!text) return sys_error(text.error());
  auto v = parse_number(*text);
  if (!v) return sys_error(EIO, step);
  return *v;
}

SysResult<std::uint64_t> read_keyed(int dir, const char* file, std::string_view key,
                                    const char* step) {
  auto text = read_file(dir, file, step);
  if (!text) return sys_error(text.error());
  auto v = keyed_number(*text, key);
  if (!v) return sys_error(EIO, step);
  return *v;
}

// The ids in a cgroup.procs text.
std::vector<pid_t> parse_pids(std::string_view text) {
  std::vector<pid_t> pids;
  while (!(text = trim(text)).empty()) {
    pid_t pid = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (ec != std::errc()) break;
    pids.push_back(pid);
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  }
  return pids;
}

// Polls `done` until it holds or `until` passes; false on the deadline.
template <class Pred>
SysResult<bool> wait_until(Pred done, Clock::time_point until) {
  auto pause = std::chrono::microseconds(200);
  for (;;) {
    SysResult<bool> r = done();
    if (!r || *r) return r;
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
}

// ---- The host ----------------------------------------------------------------

std::string unescape_mount(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
      out.push_back(
          static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

bool fs_is(int fd, unsigned long magic) {
  struct statfs st;
  return ::fstatfs(fd, &st) == 0 && static_cast<unsigned long>(st.f_type) == magic;
}

bool writable(int fd, const char* file) { return ::faccessat(fd, file, W_OK, AT_EACCESS) == 0; }

// A cgroup2 root is usable when it can hand pids and memory down to our parent.
// Below the real root (a cgroup namespace) that is only possible while it holds
// no processes, or if someone has enabled them already.
bool usable_v2(const std::string& path) {
  auto fd = open_dir_at(AT_FDCWD, path.c_str(), nullptr);
  if (!fd || !fs_is(fd->get(), CGROUP2_SUPER_MAGIC)) return false;
  auto offered = read_file(fd->get(), "cgroup.controllers", nullptr);
  if (!offered || !has_word(*offered, "pids") || !has_word(*offered, "memory")) return false;
  if (!writable(fd->get(), "cgroup.subtree_control")) return false;
  if (!has_file(fd->get(), "cgroup.type")) return true;  // the real root
  auto enabled = read_file(fd->get(), "cgroup.subtree_control", nullptr);
  if (enabled && has_word(*enabled, "pids") && has_word(*enabled, "memory")) return true;
  auto procs = read_file(fd->get(), "cgroup.procs", nullptr);
  return procs && trim(*procs).empty();
}

bool usable_v1(const std::string& path) {
  if (path.empty()) return false;
  auto fd = open_dir_at(AT_FDCWD, path.c_str(), nullptr);
  return fd && fs_is(fd->get(), CGROUP_SUPER_MAGIC) && writable(fd->get(), ".");
}

CgroupHost probe_host() {
  CgroupHost host;
  auto text = read_file(AT_FDCWD, "/proc/self/mountinfo", nullptr);
  if (!text) return host;
  CgroupMounts mounts = parse_cgroup_mounts(*text);
  for (const std::string& path : mounts.v2) {
    if (usable_v2(path)) {
      host.v2 = path;
      break;
    }
  }
  if (usable_v1(mounts.pids) && usable_v1(mounts.memory) && usable_v1(mounts.cpu) &&
      usable_v1(mounts.cpuacct) && usable_v1(mounts.freezer)) {
    host.pids = mounts.pids;
    host.memory = mounts.memory;
    host.cpu = mounts.cpu;
    host.cpuacct = mounts.cpuacct;
    host.freezer = mounts.freezer;
  }
  host.preferred = !host.v2.empty()     ? CgroupKind::kV2
                   : !host.pids.empty() ? CgroupKind::kV1
                                        : CgroupKind::kNone;
  return host;
}

// The hierarchy roots of `kind` and the controllers each serves.
std::vector<std::pair<std::string, unsigned>> hierarchy_roots(CgroupKind kind) {
  const CgroupHost& host = cgroup_host();
  std::vector<std::pair<std::string, unsigned>> roots;
  if (kind == CgroupKind::kV2) {
    roots.emplace_back(host.v2, kCtlPids | kCtlMemory | kCtlCpu | kCtlCpuacct | kCtlFreezer);
    return roots;
  }
  const std::pair<const std::string*, unsigned> v1[] = {{&host.pids, kCtlPids},
                                                        {&host.memory, kCtlMemory},
                                                        {&host.cpu, kCtlCpu},
                                                        {&host.cpuacct, kCtlCpuacct},
                                                        {&host.freezer, kCtlFreezer}};
  for (const auto& [path, bit] : v1) {
    auto same =
        std::find_if(roots.begin(), roots.end(), [&](const auto& r) { return r.first == *path; });
    if (same != roots.end()) {
      same->second |= bit;
    } else {
      roots.emplace_back(*path, bit);
    }
  }
  return roots;
}

bool valid_name(const std::string& name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\n') == std::string::npos;
}

// ---- Limits ------------------------------------------------------------------

struct LimitSteps {
  const char* subtree;
  const char* tasks;
  const char* memory;
  const char* swap;
  const char* hierarchy;
  const char* oom_group;
  const char* cpu_weight;
  const char* cpu_quota;
};

constexpr LimitSteps kParentSteps{
    "enable pids and memory in the tenancies' parent cgroup",
    "write the tenancies' parent's task limit",
    "write the tenancies' parent's memory limit",
    "write the tenancies' parent's swap limit",
    "make the tenancies' parent's memory limit cover its groups",
    nullptr,
    "write the tenancies' parent's CPU weight",
    "write the tenancies' parent's CPU quota",
};
constexpr LimitSteps kChildSteps{
    nullptr,
    "write the tenancy's task limit",
    "write the tenancy's memory limit",
    "write the tenancy's swap limit",
    nullptr,
    "write the tenancy's OOM grouping",
    "write the tenancy's CPU weight",
    "write the tenancy's CPU quota",
};

std::uint64_t quota_usec(const CgroupLimits& limits) {
  // The kernel takes no quota under 1 ms per period.
  return std::max<std::uint64_t>(limits.cpu_quota_millicores * (kCpuPeriodUsec / 1000), 1000);
}

std::uint32_t clamped_weight(const CgroupLimits& limits) {
  return std::min<std::uint32_t>(limits.cpu_weight, 10000);
}

std::string number_or(std::uint64_t value, const char* none) {
  return value != 0 ? std::to_string(value) : std::string(none);
}

// Enables pids and memory (required) and cpu (where offered) for the groups
// below `dir`.
SysResult<void> enable_controllers(int dir, const char* step) {
  auto offered = read_file(dir, "cgroup.controllers", step);
  if (!offered) return sys_error(offered.error());
  auto enabled = read_file(dir, "cgroup.subtree_control", step);
  if (!enabled) return sys_error(enabled.error());
  const std::pair<const char*, bool> wanted[] = {{"pids", true}, {"memory", true}, {"cpu", false}};
  for (const auto& [controller, required] : wanted) {
    if (has_word(*enabled, controller)) continue;
    if (!has_word(*offered, controller)) {
      if (required) return sys_error(ENOTSUP, step);
      continue;
    }
    // Fails e.g. while a realtime task sits below; cpu is then simply absent.
    auto r = write_file(dir, "cgroup.subtree_control", std::string("+") + controller, step);
    if (!r && required) return r;
  }
  return {};
}

// A reused parent gets exactly the limits asked for, so every "no limit" is
// written as well, where the controller is there to take it.
SysResult<void> apply_v2(int dir, const CgroupLimits& limits, const LimitSteps& steps) {
  if (auto r = write_file(dir, "pids.max", number_or(limits.max_tasks, "max"), steps.tasks); !r)
    return r;
  if (auto r =
          write_file(dir, "memory.max", number_or(limits.max_memory_bytes, "max"), steps.memory);
      !r)
    return r;
  // Without swap accounting the file is missing and swap is not ours to stop.
  if (has_file(dir, "memory.swap.max")) {
    auto r =
        write_file(dir, "memory.swap.max", limits.max_memory_bytes != 0 ? "0" : "max", steps.swap);
    if (!r) return r;
  }
  // The OOM killer then ends the whole tenancy, never a part of it that would
  // leave the rest confused.
  if (steps.oom_group != nullptr && has_file(dir, "memory.oom.group")) {
    if (auto r = write_file(dir, "memory.oom.group", "1", steps.oom_group); !r) return r;
  }
  if (limits.cpu_weight != 0 || has_file(dir, "cpu.weight")) {
    std::uint32_t w =
        limits.cpu_weight != 0 ? std::max<std::uint32_t>(clamped_weight(limits), 1) : 100;
    if (auto r = write_number(dir, "cpu.weight", w, steps.cpu_weight); !r) return r;
  }
  if (limits.cpu_quota_millicores != 0 || has_file(dir, "cpu.max")) {
    std::string max =
        limits.cpu_quota_millicores != 0 ? std::to_string(quota_usec(limits)) : std::string("max");
    max += " " + std::to_string(kCpuPeriodUsec);
    if (auto r = write_file(dir, "cpu.max", max, steps.cpu_quota); !r) return r;
  }
  return {};
}

SysResult<void> apply_v1_memory(int dir, const CgroupLimits& limits, const LimitSteps& steps) {
  if (steps.hierarchy != nullptr) {
    // Newer kernels fix it at 1; older ones take 1 only while no group is below.
    auto current = read_number(dir, "memory.use_hierarchy", steps.hierarchy);
    if (current && *current == 0) {
      auto r = write_file(dir, "memory.use_hierarchy", "1", steps.hierarchy);
      if (!r && limits.max_memory_bytes != 0) return r;
    }
  }
  std::string value = limits.max_memory_bytes != 0 ? std::to_string(limits.max_memory_bytes) : "-1";
  if (!has_file(dir, "memory.memsw.limit_in_bytes")) {
    if (auto r = write_file(dir, "memory.limit_in_bytes", value, steps.memory); !r) return r;
    // Swap is not accounted: keep the group's pages out of it instead.
    if (limits.max_memory_bytes != 0 && has_file(dir, "memory.swappiness"))
      return write_file(dir, "memory.swappiness", "0", steps.swap);
    return {};
  }
  // memsw may never be below the plain limit: lower the plain one first, raise
  // memsw first.
  auto r = write_file(dir, "memory.limit_in_bytes", value, steps.memory);
  if (!r && r.error().err != EINVAL) return r;
  if (auto s = write_file(dir, "memory.memsw.limit_in_bytes", value, steps.swap); !s) return s;
  if (!r) return write_file(dir, "memory.limit_in_bytes", value, steps.memory);
  return {};
}

SysResult<void> apply_v1(int dir, unsigned controllers, const CgroupLimits& limits,
                         const LimitSteps& steps) {
  if (controllers & kCtlPids) {
    auto r = write_file(dir, "pids.max", number_or(limits.max_tasks, "max"), steps.tasks);
    if (!r) return r;
  }
  if (controllers & kCtlMemory) {
    if (auto r = apply_v1_memory(dir, limits, steps); !r) return r;
  }
  if (controllers & kCtlCpu) {
    std::uint64_t shares = limits.cpu_weight != 0
                               ? std::max<std::uint64_t>(clamped_weight(limits) * 1024ULL / 100, 2)
                               : 1024;
    if (auto r = write_number(dir, "cpu.shares", shares, steps.cpu_weight); !r) return r;
    if (auto r = write_number(dir, "cpu.cfs_period_us", kCpuPeriodUsec, steps.cpu_quota); !r)
      return r;
    std::string quota =
        limits.cpu_quota_millicores != 0 ? std::to_string(quota_usec(limits)) : "-1";
    if (auto r = write_file(dir, "cpu.cfs_quota_us", quota, steps.cpu_quota); !r) return r;
  }
  return {};
}

SysResult<void> apply_limits(CgroupKind kind, int dir, unsigned controllers,
                             const CgroupLimits& limits, const LimitSteps& steps) {
  return kind == CgroupKind::kV2 ? apply_v2(dir, limits, steps)
                                 : apply_v1(dir, controllers, limits, steps);
}

}  // namespace

// ---- Detection ---------------------------------------------------------------

CgroupMounts parse_cgroup_mounts(std::string_view mountinfo) {
  CgroupMounts mounts;
  while (!mountinfo.empty()) {
    std::size_t nl = mountinfo.find('\n');
    std::string_view line = mountinfo.substr(0, nl);
    mountinfo = nl == std::string_view::npos ? std::string_view() : mountinfo.substr(nl + 1);
    std::vector<std::string_view> fields;
    while (!line.empty()) {
      std::size_t sp = line.find(' ');
      if (sp != 0) fields.push_back(line.substr(0, sp));
      if (sp == std::string_view::npos) break;
      line.remove_prefix(sp + 1);
    }
    // id parent dev root mountpoint options [optional...] - type source superoptions
    auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 6 || dash - fields.begin() < 6 || fields.end() - dash < 4) continue;
    std::string_view type = dash[1];
    std::string_view super = dash[3];
    if (has_word(fields[5], "ro", ',') || has_word(super, "ro", ',')) continue;
    std::string point = unescape_mount(fields[4]);
    if (type == "cgroup2") {
      if (point == "/sys/fs/cgroup") {
        mounts.v2.insert(mounts.v2.begin(), point);
      } else {
        mounts.v2.push_back(point);
      }
    } else if (type == "cgroup") {
      std::pair<const char*, std::string*> controllers[] = {{"pids", &mounts.pids},
                                                            {"memory", &mounts.memory},
                                                            {"cpu", &mounts.cpu},
                                                            {"cpuacct", &mounts.cpuacct},
                                                            {"freezer", &mounts.freezer}};
      for (auto& [controller, slot] : controllers) {
        if (slot->empty() && has_word(super, controller, ',')) *slot = point;
      }
    }
  }
  return mounts;
}

bool CgroupHost::usable(CgroupKind kind) const {
  switch (kind) {
    case CgroupKind::kV2:
      return !v2.empty();
    case CgroupKind::kV1:
      return !pids.empty();
    case CgroupKind::kNone:
      break;
  }
  return false;
}

const CgroupHost& cgroup_host() {
  static const CgroupHost host = probe_host();
  return host;
}

CgroupKind cgroup_kind() { return cgroup_host().preferred; }

const char* cgroup_kind_name(CgroupKind kind) {
  switch (kind) {
    case CgroupKind::kV1:
      return "v1";
    case CgroupKind::kV2:
      return "v2";
    case CgroupKind::kNone:
      break;
  }
  return "none";
}

// ---- Cgroup ------------------------------------------------------------------

SysResult<Cgroup> Cgroup::create(CgroupKind kind, const std::string& parent,
                                 const CgroupLimits& parent_limits, const std::string& name,
                                 const CgroupLimits& limits) {
  if (!valid_name(parent) || !valid_name(name)) return sys_error(EINVAL, "check the cgroup names");
  if (!cgroup_host().usable(kind)) return sys_error(ENOTSUP, "find a usable cgroup hierarchy");

  Cgroup group(kind, name);
  Cgroup leftover(kind, name);
  for (const auto& [path, controllers] : hierarchy_roots(kind)) {
    auto root = open_dir_at(AT_FDCWD, path.c_str(), "open a cgroup hierarchy's root");
    if (!root) return sys_error(root.error());
    if (kind == CgroupKind::kV2) {
      auto r = enable_controllers(root->get(), "enable pids and memory in the cgroup root");
      if (!r) return sys_error(r.error());
    }
    if (::mkdirat(root->get(), parent.c_str(), 0755) != 0 && errno != EEXIST)
      return sys_error(errno, "make the tenancies' parent cgroup");
    auto parent_dir = open_dir_at(root->get(), parent.c_str(), "open the tenancies' parent cgroup");
    if (!parent_dir) return sys_error(parent_dir.error());
    if (kind == CgroupKind::kV2) {
      if (auto r = enable_controllers(parent_dir->get(), kParentSteps.subtree); !r)
        return sys_error(r.error());
    }
    auto r = apply_limits(kind, parent_dir->get(), controllers, parent_limits, kParentSteps);
    if (!r) return sys_error(r.error());

    // A leftover of a crashed owner: its processes go before the group does.
    auto old = open_dir_at(parent_dir->get(), name.c_str(), "open a leftover tenancy cgroup");
    if (old) {
      int dup = ::fcntl(parent_dir->get(), F_DUPFD_CLOEXEC, 0);
      if (dup < 0) return sys_error(errno, "open a leftover tenancy cgroup");
      leftover.hierarchies_.push_back({controllers, UniqueFd(dup), std::move(*old)});
    } else if (old.error().err != ENOENT) {
      return sys_error(old.error());
    }
    group.hierarchies_.push_back({controllers, std::move(*parent_dir), UniqueFd()});
  }
  if (auto r = leftover.remove(); !r) return sys_error(r.error());

  // The object owns each directory from its mkdir on, so a failure below
  // removes what was made.
  std::vector<Hierarchy> made = std::move(group.hierarchies_);
  group.hierarchies_.clear();
  for (Hierarchy& h : made) {
    if (::mkdirat(h.parent.get(), name.c_str(), 0755) != 0)
      return sys_error(errno, "make the tenancy's cgroup");
    group.hierarchies_.push_back(std::move(h));
    Hierarchy& mine = group.hierarchies_.back();
    auto dir = open_dir_at(mine.parent.get(), name.c_str(), "open the tenancy's cgroup");
    if (!dir) return sys_error(dir.error());
    mine.dir = std::move(*dir);
    auto r = apply_limits(kind, mine.dir.get(), mine.controllers, limits, kChildSteps);
    if (!r) return sys_error(r.error());
  }
  return group;
}

Cgroup::Cgroup(Cgroup&& other) noexcept
    : kind_(std::exchange(other.kind_, CgroupKind::kNone)),
      name_(std::move(other.name_)),
      hierarchies_(std::move(other.hierarchies_)) {
  other.hierarchies_.clear();
}

Cgroup& Cgroup::operator=(Cgroup&& other) noexcept {
  if (this != &other) {
    (void)remove();
    kind_ = std::exchange(other.kind_, CgroupKind::kNone);
    name_ = std::move(other.name_);
    hierarchies_ = std::move(other.hierarchies_);
    other.hierarchies_.clear();
  }
  return *this;
}

Cgroup::~Cgroup() { (void)remove(); }

int Cgroup::fd_of(unsigned controller) const {
  for (const Hierarchy& h : hierarchies_) {
    if (h.controllers & controller) return h.dir.get();
  }
  return -1;
}

int Cgroup::directory_fd() const { return kind_ == CgroupKind::kV2 ? fd_of(kCtlPids) : -1; }

SysResult<void> Cgroup::enter_calling_thread() const {
  if (kind_ == CgroupKind::kV2)
    return sys_error(EOPNOTSUPP, "move a thread alone into a cgroup v2 group");
  if (hierarchies_.empty()) return sys_error(EBADF, "move the thread into the tenancy's cgroup");
  std::string tid = std::to_string(::gettid());
  for (const Hierarchy& h : hierarchies_) {
    auto r = write_file(h.dir.get(), "tasks", tid, "move the thread into the tenancy's cgroup");
    if (!r) return r;
  }
  return {};
}

SysResult<void> Cgroup::adopt(pid_t pid) const {
  if (hierarchies_.empty()) return sys_error(EBADF, "move a process into the tenancy's cgroup");
  const std::string text = std::to_string(pid);
  for (const Hierarchy& h : hierarchies_) {
    auto r =
        write_file(h.dir.get(), "cgroup.procs", text, "move a process into the tenancy's cgroup");
    if (!r) return r;
  }
  return {};
}

SysResult<CgroupUsage> Cgroup::usage() const {
  if (hierarchies_.empty()) return sys_error(EBADF, "read the tenancy's usage");
  CgroupUsage u;
  const bool v2 = kind_ == CgroupKind::kV2;
  int memory = fd_of(kCtlMemory);

  auto cpu =
      v2 ? read_keyed(fd_of(kCtlCpuacct), "cpu.stat", "usage_usec", "read the tenancy's CPU time")
         : read_number(fd_of(kCtlCpuacct), "cpuacct.usage", "read the tenancy's CPU time");
  if (!cpu) return sys_error(cpu.error());
  u.cpu_usec = v2 ? *cpu : *cpu / 1000;

  auto current = read_number(memory, v2 ? "memory.current" : "memory.usage_in_bytes",
                             "read the tenancy's memory use");
  if (!current) return sys_error(current.error());
  u.memory_bytes = *current;
  const char* peak_file = v2 ? "memory.peak" : "memory.max_usage_in_bytes";
  if (has_file(memory, peak_file)) {
    auto peak = read_number(memory, peak_file, "read the tenancy's peak memory use");
    if (!peak) return sys_error(peak.error());
    u.memory_peak_bytes = *peak;
  } else {
    u.memory_peak_bytes = u.memory_bytes;
  }

  auto tasks = read_number(fd_of(kCtlPids), "pids.current", "read the tenancy's task count");
  if (!tasks) return sys_error(tasks.error());
  u.tasks = *tasks;

  auto events = read_file(memory, v2 ? "memory.events" : "memory.oom_control",
                          "read the tenancy's OOM kill count");
  if (!events) return sys_error(events.error());
  u.oom_kills = keyed_number(*events, "oom_kill").value_or(0);
  return u;
}

SysResult<bool> Cgroup::empty() const {
  const char* step = "read whether the tenancy's cgroup is empty";
  for (const Hierarchy& h : hierarchies_) {
    if (!h.dir) continue;
    if (kind_ == CgroupKind::kV2) {
      auto populated = read_keyed(h.dir.get(), "cgroup.events", "populated", step);
      if (!populated) return sys_error(populated.error());
      if (*populated != 0) return false;
    } else {
      auto procs = read_file(h.dir.get(), "cgroup.procs", step);
      if (!procs) return sys_error(procs.error());
      if (!trim(*procs).empty()) return false;
    }
  }
  return true;
}

SysResult<std::vector<pid_t>> Cgroup::processes() const {
  std::vector<pid_t> all;
  for (const Hierarchy& h : hierarchies_) {
    if (!h.dir) continue;
    auto procs = read_file(h.dir.get(), "cgroup.procs", "list the tenancy's processes");
    if (!procs) return sys_error(procs.error());
    for (pid_t pid : parse_pids(*procs)) {
      if (std::find(all.begin(), all.end(), pid) == all.end()) all.push_back(pid);
    }
  }
  return all;
}

// Kills those of `pids` still inside. An id read from cgroup.procs may have
// been reused by the time of the kill (where the group could not be frozen),
// so each process is pinned by a pidfd first and killed only if its id is
// still listed after that.
SysResult<std::vector<pid_t>> Cgroup::kill_listed(const std::vector<pid_t>& pids,
                                                  pid_t self) const {
  std::vector<std::pair<pid_t, UniqueFd>> pinned;
  for (pid_t pid : pids) {
    if (pid == self) continue;
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
      pinned.emplace_back(pid, UniqueFd(fd));
    } else if (errno == ENOSYS) {
      ::kill(pid, SIGKILL);  // a kernel before 5.3: no better way
    }
  }
  auto listed = processes();
  if (!listed) return listed;
  for (const auto& [pid, fd] : pinned) {
    if (std::find(listed->begin(), listed->end(), pid) != listed->end())
      ::syscall(SYS_pidfd_send_signal, fd.get(), SIGKILL, nullptr, 0);
  }
  return listed;
}

SysResult<void> Cgroup::kill_all() {
  if (hierarchies_.empty()) return {};
  const auto deadline = Clock::now() + kEmptyWait;
  const bool v2 = kind_ == CgroupKind::kV2;
  auto wait_empty = [&](Clock::time_point until) -> SysResult<void> {
    auto gone = wait_until([this] { return empty(); }, until);
    if (!gone) return sys_error(gone.error());
    if (!*gone && Clock::now() >= deadline)
      return sys_error(EBUSY, "wait for the tenancy's cgroup to empty");
    if (!*gone) return sys_error(EAGAIN, nullptr);
    return {};
  };

  const pid_t self = ::getpid();
  auto self_inside = [&](const std::vector<pid_t>& pids) {
    return std::find(pids.begin(), pids.end(), self) != pids.end();
  };
  // Freezing would freeze our own thread, and killing it would kill us.
  const char* self_step = "empty the tenancy's cgroup (a thread of this process is inside)";
  auto first = processes();
  if (!first) return sys_error(first.error());
  if (self_inside(*first)) return sys_error(EBUSY, self_step);

  if (const int dir = fd_of(kCtlPids); v2 && dir >= 0 && has_file(dir, "cgroup.kill")) {
    if (auto r = write_file(dir, "cgroup.kill", "1", "write the tenancy's cgroup.kill"); !r)
      return r;
    return wait_empty(deadline);
  }

  // Frozen, nothing inside can fork or exit, so the processes listed are the
  // whole group and none of their ids can be reused before the kill. A process
  // that does not freeze (stopped, or in an uninterruptible wait) only ends a
  // round's wait early; SIGKILL still ends it once thawed. Without a freezer
  // (an old v2 kernel, a partial leftover) the rounds repeat until the forks
  // stop.
  const char* freeze_file = v2 ? "cgroup.freeze" : "freezer.state";
  int freezer = fd_of(v2 ? kCtlPids : kCtlFreezer);
  if (freezer >= 0 && !has_file(freezer, freeze_file)) freezer = -1;
  auto is_frozen = [&]() -> SysResult<bool> {
    const char* step = "read the tenancy's freezer state";
    if (v2) {
      auto f = read_keyed(freezer, "cgroup.events", "frozen", step);
      if (!f) return sys_error(f.error());
      return *f == 1;
    }
    auto state = read_file(freezer, "freezer.state", step);
    if (!state) return sys_error(state.error());
    return trim(*state) == "FROZEN";
  };
  for (;;) {
    auto pids = processes();
    if (!pids) return sys_error(pids.error());
    if (self_inside(*pids)) return sys_error(EBUSY, self_step);
    SysResult<bool> frozen = true;
    if (freezer >= 0) {
      auto r = write_file(freezer, freeze_file, v2 ? "1" : "FROZEN", "freeze the tenancy's cgroup");
      if (!r) return r;
      frozen =
          wait_until(is_frozen, std::min(Clock::now() + std::chrono::milliseconds(100), deadline));
      pids = processes();
    }
    if (pids) pids = kill_listed(*pids, self);
    if (freezer >= 0) {
      auto r = write_file(freezer, freeze_file, v2 ? "0" : "THAWED", "thaw the tenancy's cgroup");
      if (!r) return r;
    }
    if (!frozen) return sys_error(frozen.error());
    if (!pids) return sys_error(pids.error());
    auto r = wait_empty(std::min(Clock::now() + std::chrono::milliseconds(200), deadline));
    if (r || r.error().err != EAGAIN) return r;
  }
}

SysResult<void> Cgroup::remove() {
  auto killed = kill_all();
  // The kernel may still be tearing down the last exits for a moment.
  const auto deadline = Clock::now() + kEmptyWait;
  while (!hierarchies_.empty()) {
    Hierarchy& h = hierarchies_.back();
    if (::unlinkat(h.parent.get(), name_.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) {
      hierarchies_.pop_back();
      continue;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (!killed) return killed;
    if (err != EBUSY || Clock::now() >= deadline)
      return sys_error(err, "remove the tenancy's cgroup");
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kind_ = CgroupKind::kNone;
  return {};
}

SysResult<void> remove_cgroup_parent(CgroupKind kind, const std::string& parent) {
  if (!valid_name(parent)) return sys_error(EINVAL, "check the cgroup names");
  if (!cgroup_host().usable(kind)) return sys_error(ENOTSUP, "find a usable cgroup hierarchy");
  for (const auto& root_entry : hierarchy_roots(kind)) {
    auto root = open_dir_at(AT_FDCWD, root_entry.first.c_str(), "open a cgroup hierarchy's root");
    if (!root) return sys_error(root.error());
    // The kernel ends a removed group's state asynchronously; give it a moment.
    const auto deadline = Clock::now() + kEmptyWait;
    while (::unlinkat(root->get(), parent.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      if (errno == EINTR) continue;
      if (errno != EBUSY || Clock::now() >= deadline)
        return sys_error(errno, "remove the tenancies' parent cgroup");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return {};
}

}  // namespace moxtile
