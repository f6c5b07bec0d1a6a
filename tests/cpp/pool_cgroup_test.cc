#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pool/posix/cgroup.h"

namespace moxtile {
namespace {

template <class T>
std::string describe(const SysResult<T>& r) {
  if (r) return "ok";
  return std::string(r.error().step ? r.error().step : "?") + ": " + ::strerror(r.error().err);
}

// ---- Without groups ----------------------------------------------------------

std::string summary(const CgroupMounts& m) {
  std::string s = "v2:";
  for (const std::string& p : m.v2) s += p + ",";
  return s + " pids:" + m.pids + " memory:" + m.memory + " cpu:" + m.cpu + " cpuacct:" + m.cpuacct +
         " freezer:" + m.freezer;
}

TEST(ParseCgroupMountsTest, FindsEachControllerOnce) {
  const struct {
    const char* what;
    const char* mountinfo;
    const char* found;
  } cases[] = {
      {"hybrid, cpu and cpuacct apart, cpuset before cpu",
       "34 31 0:31 / /c/cpuset rw,relatime - cgroup cgroup rw,cpuset\n"
       "32 31 0:29 / /c/cpu rw,relatime - cgroup cgroup rw,cpu\n"
       "33 31 0:30 / /c/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
       "35 31 0:32 / /c/memory rw - cgroup cgroup rw,memory\n"
       "37 31 0:34 / /c/freezer rw - cgroup cgroup rw,freezer\n"
       "39 31 0:36 / /c/pids rw - cgroup cgroup rw,pids\n"
       "40 31 0:37 / /c/systemd rw - cgroup cgroup rw,xattr,name=systemd\n"
       "41 31 0:38 / /c/unified rw - cgroup2 cgroup2 rw\n",
       "v2:/c/unified, pids:/c/pids memory:/c/memory cpu:/c/cpu cpuacct:/c/cpuacct "
       "freezer:/c/freezer"},
      {"cpu and cpuacct together, optional fields, an escaped space",
       "32 31 0:29 / /c/cpu,cpuacct rw shared:9 master:2 - cgroup cgroup rw,cpu,cpuacct\n"
       "33 31 0:30 / /c/my\\040pids rw shared:10 - cgroup cgroup rw,pids\n",
       "v2: pids:/c/my pids memory: cpu:/c/cpu,cpuacct cpuacct:/c/cpu,cpuacct freezer:"},
      {"/sys/fs/cgroup first; read-only mounts and junk left out",
       "50 1 0:40 / /mnt/other rw - cgroup2 none rw\n"
       "51 1 0:41 / /mnt/ro ro - cgroup2 none ro\n"
       "52 1 0:42 / /c/memory rw - cgroup cgroup ro,memory\n"
       "not a mount line\n"
       "26 1 0:23 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate",
       "v2:/sys/fs/cgroup,/mnt/other, pids: memory: cpu: cpuacct: freezer:"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(summary(parse_cgroup_mounts(c.mountinfo)), c.found) << c.what;
}

TEST(CgroupCreateTest, RefusesNamesThatAreNotOneComponent) {
  const char* names[][2] = {{"", "t"},    {"p", ""},     {"..", "t"}, {"p", "."},
                            {"a/b", "t"}, {"p", "../t"}, {"p", "t\n"}};
  for (const auto& n : names) {
    auto r = Cgroup::create(cgroup_kind(), n[0], {}, n[1], {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().err, EINVAL) << n[0] << " " << n[1];
  }
}

TEST(CgroupHostTest, IsProbedOnceAndAgreesWithTheMounts) {
  std::vector<const CgroupHost*> seen(8);
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&s] { s = &cgroup_host(); });
  for (auto& t : threads) t.join();
  for (const CgroupHost* h : seen) EXPECT_EQ(h, seen[0]);

  const CgroupHost& host = cgroup_host();
  EXPECT_EQ(cgroup_kind(), host.preferred);
  EXPECT_TRUE(host.preferred == CgroupKind::kNone || host.usable(host.preferred));
  std::ifstream in("/proc/self/mountinfo");
  std::stringstream text;
  text << in.rdbuf();
  CgroupMounts mounts = parse_cgroup_mounts(text.str());
  if (host.usable(CgroupKind::kV1)) {
    EXPECT_EQ(
        summary(mounts).substr(summary(mounts).find(" pids:")),
        summary(CgroupMounts{{}, host.pids, host.memory, host.cpu, host.cpuacct, host.freezer})
            .substr(3));
  }
  if (host.usable(CgroupKind::kV2)) {
    EXPECT_NE(std::find(mounts.v2.begin(), mounts.v2.end(), host.v2), mounts.v2.end());
  }
  auto none = Cgroup::create(CgroupKind::kNone, "p", {}, "t", {});
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().err, ENOTSUP);
}

// ---- Groups on the host ------------------------------------------------------

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  std::string t = s.str();
  while (!t.empty() && t.back() == '\n') t.pop_back();
  return t;
}

// Waits for `pid` to end, killing it after `limit`; its wait status, or none.
std::optional<int> reap(pid_t pid, int limit_ms = 20000) {
  int pfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pfd >= 0) {
    pollfd p{pfd, POLLIN, 0};
    int ready = ::poll(&p, 1, limit_ms);
    ::close(pfd);
    if (ready != 1) ::kill(pid, SIGKILL);
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return std::nullopt;
  return status;
}

bool killed_by(std::optional<int> status, int sig) {
  return status && WIFSIGNALED(*status) && WTERMSIG(*status) == sig;
}

// Waits a bounded time for `pid` to be stopped.
bool wait_stopped(pid_t pid) {
  for (int i = 0; i < 2000; ++i) {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    std::size_t paren = stat.rfind(')');
    if (paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] == 'T')
      return true;
    ::usleep(5000);
  }
  return false;
}

// Touches `bytes` of anonymous or shared (tmpfs) memory; exits 0 if it could.
int touch_memory(std::size_t bytes, bool shared) {
  int fd = shared ? ::memfd_create("hog", 0) : -1;
  if (shared && ::ftruncate(fd, static_cast<off_t>(bytes)) != 0) return 2;
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   shared ? MAP_SHARED : MAP_PRIVATE | MAP_ANONYMOUS, fd, 0);
  if (p == MAP_FAILED) return 3;
  for (std::size_t i = 0; i < bytes; i += 4096) static_cast<volatile char*>(p)[i] = 1;
  return 0;
}

class CgroupTest : public ::testing::TestWithParam<CgroupKind> {
 protected:
  void SetUp() override {
    kind_ = GetParam();
    if (::geteuid() != 0) GTEST_SKIP() << "making cgroups needs root";
    if (!cgroup_host().usable(kind_))
      GTEST_SKIP() << "no writable cgroup " << cgroup_kind_name(kind_)
                   << " hierarchy with pids, memory, cpu and freezer control on this host";
    parent_ = "moxtile-test-" + std::to_string(::getpid());
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    ::alarm(300);  // a hang fails the run instead of stalling it
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      (void)reap(pid);
    }
    if (parent_.empty()) return;
    for (const std::string& root : roots()) {
      for (const std::string& name : groups_under(root)) {
        if (auto g = Cgroup::create(kind_, parent_, {}, name, {})) (void)g->remove();
      }
    }
    auto r = remove_cgroup_parent(kind_, parent_);
    EXPECT_TRUE(r.ok()) << describe(r);
    ::alarm(0);
  }

  std::vector<std::string> roots() const {
    const CgroupHost& h = cgroup_host();
    if (kind_ == CgroupKind::kV2) return {h.v2};
    return {h.pids, h.memory, h.cpu, h.cpuacct, h.freezer};
  }
  // The directory of `name` (or the parent itself) in the hierarchy with `controller`.
  std::string path(const std::string& name, const char* controller) const {
    const CgroupHost& h = cgroup_host();
    std::string root = kind_ == CgroupKind::kV2              ? h.v2
                       : std::string(controller) == "pids"   ? h.pids
                       : std::string(controller) == "memory" ? h.memory
                                                             : h.cpu;
    return root + "/" + parent_ + (name.empty() ? "" : "/" + name);
  }
  std::vector<std::string> groups_under(const std::string& root) const {
    std::vector<std::string> names;
    if (DIR* d = ::opendir((root + "/" + parent_).c_str())) {
      while (dirent* e = ::readdir(d)) {
        if (e->d_type == DT_DIR && e->d_name[0] != '.') names.push_back(e->d_name);
      }
      ::closedir(d);
    }
    return names;
  }

  // Starts `body` in a new process that is inside `group` from its start:
  // clone3 into the directory on v2, a fork from a thread that entered on v1.
  pid_t start_inside(const Cgroup& group, std::function<int()> body) {
    pid_t pid = -1;
    if (kind_ == CgroupKind::kV2) {
      EXPECT_FALSE(group.enter_calling_thread().ok());
      clone_args args{};
      args.flags = CLONE_INTO_CGROUP;
      args.exit_signal = SIGCHLD;
      args.cgroup = static_cast<std::uint64_t>(group.directory_fd());
      pid = static_cast<pid_t>(::syscall(SYS_clone3, &args, sizeof args));
      if (pid == 0) ::_exit(body());
    } else {
      EXPECT_EQ(group.directory_fd(), -1);
      std::thread t([&] {
        auto r = group.enter_calling_thread();
        EXPECT_TRUE(r.ok()) << describe(r);
        pid = ::fork();
        if (pid == 0) ::_exit(body());
      });
      t.join();
    }
    EXPECT_GT(pid, 0) << ::strerror(errno);
    if (pid > 0) children_.push_back(pid);
    return pid;
  }

  CgroupKind kind_ = CgroupKind::kNone;
  std::string parent_;
  std::vector<pid_t> children_;
};

std::string kind_test_name(const ::testing::TestParamInfo<CgroupKind>& info) {
  return cgroup_kind_name(info.param);
}

// Reads the limits back from the files the kernel keeps for them.
void expect_limits(CgroupKind kind, const std::string& pids_dir, const std::string& memory_dir,
                   const std::string& cpu_dir, const CgroupLimits& l) {
  auto or_none = [](std::uint64_t v, const char* none) { return v ? std::to_string(v) : none; };
  std::uint32_t weight = l.cpu_weight ? std::min<std::uint32_t>(l.cpu_weight, 10000) : 100;
  std::uint64_t quota =
      l.cpu_quota_millicores ? std::max<std::uint64_t>(l.cpu_quota_millicores * 100, 1000) : 0;
  EXPECT_EQ(read_text(pids_dir + "/pids.max"), or_none(l.max_tasks, "max"));
  if (kind == CgroupKind::kV2) {
    EXPECT_EQ(read_text(memory_dir + "/memory.max"), or_none(l.max_memory_bytes, "max"));
    std::string swap = read_text(memory_dir + "/memory.swap.max");
    if (!swap.empty()) {
      EXPECT_EQ(swap, l.max_memory_bytes ? "0" : "max");
    }
    EXPECT_EQ(read_text(cpu_dir + "/cpu.weight"), std::to_string(weight));
    EXPECT_EQ(read_text(cpu_dir + "/cpu.max"), or_none(quota, "max") + " 100000");
    return;
  }
  for (const char* file : {"/memory.limit_in_bytes", "/memory.memsw.limit_in_bytes"}) {
    std::string v = read_text(memory_dir + file);
    if (v.empty() && std::string(file).find("memsw") != std::string::npos) continue;
    if (l.max_memory_bytes) {
      EXPECT_EQ(v, std::to_string(l.max_memory_bytes)) << file;
    } else {
      EXPECT_GT(std::stoull(v), 1ULL << 62) << file;
    }
  }
  EXPECT_EQ(read_text(cpu_dir + "/cpu.shares"),
            std::to_string(std::max<std::uint64_t>(weight * 1024 / 100, 2)));
  EXPECT_EQ(read_text(cpu_dir + "/cpu.cfs_quota_us"), quota ? std::to_string(quota) : "-1");
}

TEST_P(CgroupTest, LimitsLandOnTheParentAndTheGroup) {
  struct {
    CgroupLimits parent, child;
  } const cases[] = {
      {{500, 512 << 20, 50, 0}, {20, 64 << 20, 0, 0}},
      {{0, 0, 0, 4000}, {1, 8 << 20, 250, 1500}},  // the parent's memory limit raised
      {{1000, 0, 20000, 0}, {0, 0, 1, 5}},         // weight clamped, quota raised
  };
  for (const auto& c : cases) {
    auto g = Cgroup::create(kind_, parent_, c.parent, "limits", c.child);
    ASSERT_TRUE(g.ok()) << describe(g);
    expect_limits(kind_, path("", "pids"), path("", "memory"), path("", "cpu"), c.parent);
    expect_limits(kind_, path("limits", "pids"), path("limits", "memory"), path("limits", "cpu"),
                  c.child);
  }
}

struct KillCase {
  const char* what;
  int (*body)();
  bool stops;  // wait until the child is stopped before the kill
};

int sleep_forever() {
  for (;;) ::pause();
}
int stop_self() {
  ::kill(::getpid(), SIGSTOP);
  return sleep_forever();
}
int stop_child_then_self() {
  pid_t child = ::fork();
  if (child == 0) sleep_forever();
  ::kill(child, SIGSTOP);
  return stop_self();
}
// Never the same process for long: each one forks its successor and exits.
int fork_chain() {
  for (;;) {
    pid_t p = ::fork();
    if (p > 0) ::_exit(0);
    if (p < 0) ::usleep(100);
  }
}

TEST_P(CgroupTest, KillAllEmptiesTheGroupWhateverTheProcessesDo) {
  const KillCase cases[] = {{"sleeps", sleep_forever, false},
                            {"stops itself", stop_self, true},
                            {"stops its child and itself", stop_child_then_self, true},
                            {"forks a successor and exits, over and over", fork_chain, false}};
  for (const KillCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto g = Cgroup::create(kind_, parent_, {}, "kill", {32, 64 << 20, 0, 0});
    ASSERT_TRUE(g.ok()) << describe(g);
    pid_t pid = start_inside(*g, c.body);
    ASSERT_GT(pid, 0);
    if (c.stops) {
      ASSERT_TRUE(wait_stopped(pid));
    }
    auto before = g->usage();
    ASSERT_TRUE(before.ok()) << describe(before);
    EXPECT_GE(before->tasks, 1u);
    if (c.body != fork_chain) {
      EXPECT_NE(read_text(path("kill", "pids") + "/cgroup.procs").find(std::to_string(pid)),
                std::string::npos);
    }

    auto killed = g->kill_all();
    ASSERT_TRUE(killed.ok()) << describe(killed);
    EXPECT_EQ(read_text(path("kill", "pids") + "/cgroup.procs"), "");
    std::optional<int> status = reap(pid);
    children_.pop_back();
    if (c.body != fork_chain) {
      EXPECT_TRUE(killed_by(status, SIGKILL));
    }
    // A zombie holds its task until reaped; orphans come to us (the subreaper).
    std::uint64_t tasks = 1;
    for (int i = 0; i < 2000 && tasks != 0; ++i) {
      while (::waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      auto after = g->usage();
      ASSERT_TRUE(after.ok()) << describe(after);
      if ((tasks = after->tasks) != 0) ::usleep(5000);
    }
    EXPECT_EQ(tasks, 0u);

    ASSERT_TRUE(g->remove().ok());
    EXPECT_EQ(g->kind(), CgroupKind::kNone);
    EXPECT_TRUE(groups_under(roots()[0]).empty());
  }
}

TEST_P(CgroupTest, AForkBombStopsAtTheTaskLimit) {
  constexpr std::uint64_t kMax = 20;
  auto g = Cgroup::create(kind_, parent_, {}, "bomb", {kMax, 64 << 20, 0, 0});
  ASSERT_TRUE(g.ok()) << describe(g);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  pid_t pid = start_inside(*g, [fd = report[1]] {
    int forks[2] = {0, 0};  // successful forks, errno of the failed one
    for (; forks[0] < 1000; ++forks[0]) {
      pid_t p = ::fork();
      if (p == 0) sleep_forever();
      if (p < 0) {
        forks[1] = errno;
        break;
      }
    }
    (void)!::write(fd, forks, sizeof forks);
    return sleep_forever();
  });
  ::close(report[1]);
  ASSERT_GT(pid, 0);
  pollfd p{report[0], POLLIN, 0};
  int forks[2] = {-1, -1};
  ASSERT_EQ(::poll(&p, 1, 30000), 1) << "the bomb never reported";
  ASSERT_EQ(::read(report[0], forks, sizeof forks), static_cast<ssize_t>(sizeof forks));
  ::close(report[0]);
  EXPECT_EQ(forks[1], EAGAIN);
  EXPECT_GE(forks[0], 1);
  EXPECT_LT(forks[0], static_cast<int>(kMax));
  auto u = g->usage();
  ASSERT_TRUE(u.ok()) << describe(u);
  EXPECT_LE(u->tasks, kMax);
  EXPECT_GT(u->tasks, static_cast<std::uint64_t>(forks[0]));
  ASSERT_TRUE(g->kill_all().ok());
  EXPECT_TRUE(killed_by(reap(pid), SIGKILL));
  children_.clear();
}

TEST_P(CgroupTest, AMemoryHogIsKilledInsideAndCounted) {
  constexpr std::uint64_t kLimit = 64 << 20;
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "tmpfs pages" : "anonymous pages");
    auto g = Cgroup::create(kind_, parent_, {}, "hog", {8, kLimit, 0, 0});
    ASSERT_TRUE(g.ok()) << describe(g);
    pid_t pid = start_inside(*g, [shared] { return touch_memory(256 << 20, shared); });
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(killed_by(reap(pid), SIGKILL));
    children_.clear();
    auto u = g->usage();
    ASSERT_TRUE(u.ok()) << describe(u);
    EXPECT_GE(u->oom_kills, 1u);
    EXPECT_LE(u->memory_peak_bytes, kLimit);
    EXPECT_GE(u->memory_peak_bytes, kLimit / 2);
    EXPECT_LE(u->memory_bytes, u->memory_peak_bytes);
  }
}

TEST_P(CgroupTest, CpuTimeIsCountedInMicroseconds) {
  constexpr long kBurnNs = 200 * 1000 * 1000;
  auto g = Cgroup::create(kind_, parent_, {}, "cpu", {4, 0, 0, 0});
  ASSERT_TRUE(g.ok()) << describe(g);
  pid_t pid = start_inside(*g, [] {
    timespec t{};
    do ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    while (t.tv_sec * 1000000000L + t.tv_nsec < kBurnNs);
    return 0;
  });
  ASSERT_GT(pid, 0);
  auto status = reap(pid);
  children_.clear();
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  auto u = g->usage();
  ASSERT_TRUE(u.ok()) << describe(u);
  EXPECT_GE(u->cpu_usec, static_cast<std::uint64_t>(kBurnNs / 1000));
  EXPECT_LT(u->cpu_usec, static_cast<std::uint64_t>(kBurnNs / 1000) * 50);
}

TEST_P(CgroupTest, ALeftoverGroupIsKilledAndMadeAnew) {
  auto first = Cgroup::create(kind_, parent_, {}, "other", {});
  ASSERT_TRUE(first.ok()) << describe(first);
  // Some hierarchies only, as a crash between two mkdirs leaves it on v1.
  std::vector<std::string> made;
  for (const std::string& root : roots()) {
    if (!made.empty() && root == roots().back()) break;
    std::string dir = root + "/" + parent_ + "/left";
    if (std::find(made.begin(), made.end(), dir) == made.end() && ::mkdir(dir.c_str(), 0755) == 0)
      made.push_back(dir);
  }
  ASSERT_FALSE(made.empty());
  pid_t pid = ::fork();
  if (pid == 0) sleep_forever();
  children_.push_back(pid);
  for (const std::string& dir : made) {
    std::ofstream(dir + "/cgroup.procs") << pid << std::flush;
  }
  ASSERT_NE(read_text(made[0] + "/cgroup.procs"), "");

  auto g = Cgroup::create(kind_, parent_, {}, "left", {7, 0, 0, 0});
  ASSERT_TRUE(g.ok()) << describe(g);
  EXPECT_TRUE(killed_by(reap(pid), SIGKILL));
  children_.clear();
  EXPECT_EQ(read_text(path("left", "pids") + "/pids.max"), "7");
  EXPECT_EQ(read_text(path("left", "pids") + "/cgroup.procs"), "");
}

TEST_P(CgroupTest, KillAllRefusesWhileAThreadOfOursIsInside) {
  if (kind_ != CgroupKind::kV1) GTEST_SKIP() << "only v1 lets one thread of a process in";
  auto g = Cgroup::create(kind_, parent_, {}, "self", {});
  ASSERT_TRUE(g.ok()) << describe(g);
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  std::atomic<bool> entered{false};
  std::thread t([&] {
    entered = g->enter_calling_thread().ok();
    char c;
    (void)!::read(go[0], &c, 1);
  });
  while (read_text(path("self", "pids") + "/tasks").empty()) ::usleep(1000);
  auto r = g->kill_all();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().err, EBUSY);
  (void)!::write(go[1], "x", 1);
  t.join();  // hangs (and the alarm fails the run) if the thread was frozen
  EXPECT_TRUE(entered);
  ::close(go[0]);
  ::close(go[1]);
  EXPECT_TRUE(g->remove().ok());
}

TEST_P(CgroupTest, ManyGroupsLeaveNothingBehind) {
  constexpr int kThreads = 4, kEach = 250;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto g = Cgroup::create(kind_, parent_, {4000, 0, 0, 0},
                                "many-" + std::to_string(t) + "-" + std::to_string(i % 7),
                                {10, 16 << 20, 100, 500});
        if (!g || !g->usage() || !g->remove()) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  for (const std::string& root : roots()) EXPECT_EQ(groups_under(root).size(), 0u) << root;
}

INSTANTIATE_TEST_SUITE_P(Kinds, CgroupTest, ::testing::Values(CgroupKind::kV1, CgroupKind::kV2),
                         kind_test_name);

}  // namespace
}  // namespace moxtile
