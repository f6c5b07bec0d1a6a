#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "pool/posix/child_process.h"
#include "pool/posix/memory_sharing_child.h"
#include "pool/posix/raw_syscall.h"
#include "pool/posix/system_error.h"

namespace moxtile {
namespace {

ToolOutput run_sh(const std::string& script) {
  auto r = run_tool({"sh", "-c", script});
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : system_error_text(r.error()));
  return r.ok() ? std::move(r).value() : ToolOutput{};
}

// Sets PATH for its scope. A search that meets a directory it may not enter
// (root's own, when the tests run as another user with root's PATH) ends in
// EACCES instead of ENOENT, so the missing-program cases search known ones.
class ScopedPath final {
 public:
  explicit ScopedPath(const char* path) {
    if (const char* old = ::getenv("PATH")) old_ = old;
    ::setenv("PATH", path, 1);
  }
  ~ScopedPath() { ::setenv("PATH", old_.c_str(), 1); }

 private:
  std::string old_;
};

// Reads `fd` to end of stream.
std::string read_all(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  return text;
}

struct ExitCase {
  const char* script;
  std::optional<int> code;
  int signal;
  bool success;
};

class ExitStatusTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ExitStatusTest, ReportsHowTheToolEnded) {
  const ExitCase& c = GetParam();
  ToolOutput out = run_sh(c.script);
  EXPECT_EQ(out.status.code, c.code);
  EXPECT_EQ(out.status.signal, c.signal);
  EXPECT_EQ(out.status.success(), c.success);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExitStatusTest,
    ::testing::Values(ExitCase{"exit 0", 0, 0, true}, ExitCase{"exit 1", 1, 0, false},
                      ExitCase{"exit 255", 255, 0, false},
                      ExitCase{"kill -9 $$", std::nullopt, SIGKILL, false},
                      ExitCase{"kill -TERM $$", std::nullopt, SIGTERM, false}));

TEST(RunTool, CapturesBothStreamsWithoutDeadlock) {
  // Each stream in turn gets far more than a pipe holds: a reader that waits on
  // one stream to its end before the other would hang here.
  ToolOutput out = run_sh(
      "head -c 262144 /dev/zero | tr '\\0' e >&2; head -c 262144 /dev/zero | tr '\\0' o; "
      "head -c 262144 /dev/zero | tr '\\0' e >&2");
  EXPECT_EQ(out.out, std::string(1 << 18, 'o'));
  EXPECT_EQ(out.err, std::string(1 << 19, 'e'));
  EXPECT_TRUE(out.status.success());
}

TEST(RunTool, StandardInputIsEmpty) {
  ToolOutput out = run_sh("wc -c");
  EXPECT_EQ(out.out, "0\n");
}

TEST(RunTool, MissingToolIsReportedAtStart) {
  ScopedPath path("/usr/bin:/bin");
  auto r = run_tool({"moxtile-no-such-tool-xyz"});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().err, ENOENT);
  EXPECT_EQ(system_error_text(r.error()), "No such file or directory (os error 2)");
}

TEST(RunTool, NonExecutableFileIsReportedAtStart) {
  char path[] = "/tmp/moxtile-noexec-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  auto r = run_tool({path});
  ::unlink(path);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().err, EACCES);
}

TEST(SpawnPiped, MissingProgramIsReportedAtStart) {
  ScopedPath path("/usr/bin:/bin");
  auto r = spawn_piped({"moxtile-no-such-tool-xyz"});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().err, ENOENT);
}

TEST(SpawnPiped, StreamsGoThroughThePipes) {
  auto child = spawn_piped({"sh", "-c", "read line; echo \"out:$line\"; echo \"err:$line\" >&2"});
  ASSERT_TRUE(child.ok());
  ASSERT_EQ(::write(child->in.get(), "hi\n", 3), 3);
  child->in.reset();
  EXPECT_EQ(read_all(child->out.get()), "out:hi\n");
  EXPECT_EQ(read_all(child->err.get()), "err:hi\n");
  auto status = wait_child(child->pid);
  ASSERT_TRUE(status.ok());
  EXPECT_TRUE(status->success());
}

std::string pipe_name(int fd) {
  struct stat st;
  EXPECT_EQ(::fstat(fd, &st), 0);
  return "pipe:[" + std::to_string(st.st_ino) + "]";
}

TEST(SpawnPiped, NoChildInheritsAnotherChildsPipes) {
  auto first = spawn_piped({"cat"});
  ASSERT_TRUE(first.ok());
  const std::string names[] = {pipe_name(first->in.get()), pipe_name(first->out.get()),
                               pipe_name(first->err.get())};
  // Children started while the first runs hold none of its pipes.
  auto second = spawn_piped({"sh", "-c", "read x; ls -l /proc/self/fd/"});
  ASSERT_TRUE(second.ok());
  ToolOutput tool = run_sh("ls -l /proc/self/fd/");
  ASSERT_EQ(::write(second->in.get(), "\n", 1), 1);
  std::string listing = read_all(second->out.get());
  for (const std::string& name : names) {
    EXPECT_EQ(listing.find(name), std::string::npos) << name << " in\n" << listing;
    EXPECT_EQ(tool.out.find(name), std::string::npos) << name << " in\n" << tool.out;
  }

  // The first child's input reaches end of stream once we close our end, so
  // no other process holds its write end: cat exits and its output ends.
  first->in.reset();
  EXPECT_EQ(read_all(first->out.get()), "");
  auto status = wait_child(first->pid);
  ASSERT_TRUE(status.ok());
  EXPECT_TRUE(status->success());
  (void)wait_child(second->pid);
}

TEST(SpawnPiped, ChildStartsWithEmptyMaskAndDefaultSigpipe) {
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);
  struct sigaction ignore{}, old_action{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old_action), 0);

  auto child = spawn_piped({"sh", "-c", "grep -E '^Sig(Blk|Ign)' /proc/self/status"});
  ::sigaction(SIGPIPE, &old_action, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ASSERT_TRUE(child.ok());
  std::string text = read_all(child->out.get());
  (void)wait_child(child->pid);

  EXPECT_NE(text.find("SigBlk:\t0000000000000000"), std::string::npos) << text;
  auto ign = text.find("SigIgn:\t");
  ASSERT_NE(ign, std::string::npos) << text;
  unsigned long long ignored = std::stoull(text.substr(ign + 8, 16), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << text;
}

// ---- memory-sharing child ----------------------------------------------

// A generous deadline for children that end by themselves.
constexpr int kNoDeadlineMs = 60'000;

struct Shared {
  long input = 0;
  long doubled = 0;
  long pid = 0;
  long result = 0;  // of the child's own system call
};

MOXTILE_UNINSTRUMENTED int double_input(void* arg) noexcept {
  auto* shared = static_cast<Shared*>(arg);
  shared->doubled = shared->input * 2;
  shared->pid = raw_syscall(SYS_getpid);
  return 7;
}

TEST(MemorySharingChild, RunsTheFunctionInAnotherProcessAndItsWritesAreSeen) {
  if (!kMemorySharingChildAvailable) GTEST_SKIP() << "no memory-sharing child on this machine";
  Shared shared;
  shared.input = 21;
  auto end = run_memory_sharing_child(double_input, &shared, kNoDeadlineMs);
  ASSERT_TRUE(end.ok()) << system_error_text(end.error());
  EXPECT_EQ(end->status.code, 7);
  EXPECT_FALSE(end->killed_at_deadline);
  EXPECT_EQ(shared.doubled, 42);
  EXPECT_GT(shared.pid, 0);
  EXPECT_NE(shared.pid, ::getpid());
}

MOXTILE_UNINSTRUMENTED int stop_self(void*) noexcept {
  raw_syscall(SYS_kill, raw_syscall(SYS_getpid), SIGSTOP);
  return 0;
}

TEST(MemorySharingChild, AStoppedChildIsKilledAtTheDeadline) {
  if (!kMemorySharingChildAvailable) GTEST_SKIP() << "no memory-sharing child on this machine";
  auto end = run_memory_sharing_child(stop_self, nullptr, 100);
  ASSERT_TRUE(end.ok()) << system_error_text(end.error());
  EXPECT_TRUE(end->killed_at_deadline);
  EXPECT_FALSE(end->status.code.has_value());
  EXPECT_EQ(end->status.signal, SIGKILL);
}

MOXTILE_UNINSTRUMENTED int close_bad_descriptor(void* arg) noexcept {
  static_cast<Shared*>(arg)->result = raw_syscall(SYS_close, -1);
  return 0;
}

TEST(MemorySharingChild, TheCallersErrnoIsUntouched) {
  if (!kMemorySharingChildAvailable) GTEST_SKIP() << "no memory-sharing child on this machine";
  // The child runs with this thread's thread pointer: a C library call failing
  // there would write this thread's errno.
  Shared shared;
  errno = 4242;
  auto end = run_memory_sharing_child(close_bad_descriptor, &shared, kNoDeadlineMs);
  const int after = errno;
  ASSERT_TRUE(end.ok()) << system_error_text(end.error());
  EXPECT_EQ(shared.result, -EBADF);
  EXPECT_EQ(after, 4242);
}

MOXTILE_UNINSTRUMENTED int close_given_descriptor(void* arg) noexcept {
  auto* shared = static_cast<Shared*>(arg);
  shared->result = raw_syscall(SYS_close, shared->input);
  return 0;
}

TEST(MemorySharingChild, HasADescriptorTableOfItsOwn) {
  if (!kMemorySharingChildAvailable) GTEST_SKIP() << "no memory-sharing child on this machine";
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  Shared shared;
  shared.input = fds[0];
  auto end = run_memory_sharing_child(close_given_descriptor, &shared, kNoDeadlineMs);
  ASSERT_TRUE(end.ok()) << system_error_text(end.error());
  EXPECT_EQ(shared.result, 0);
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), 0) << "the child's close reached our table";
  ::close(fds[0]);
  ::close(fds[1]);
}

MOXTILE_UNINSTRUMENTED int become_nobody(void* arg) noexcept {
  auto* shared = static_cast<Shared*>(arg);
  shared->result = raw_syscall(SYS_setresuid, shared->input, shared->input, shared->input);
  return 0;
}

TEST(MemorySharingChild, AChildChangingItsUserLeavesTheCallerDumpable) {
  if (!kMemorySharingChildAvailable) GTEST_SKIP() << "no memory-sharing child on this machine";
  if (::geteuid() != 0) GTEST_SKIP() << "changing the child's user needs root";
  if (!id_change_keeps_memory_untraceable()) {
    GTEST_SKIP() << "fs.suid_dumpable is 1: a child changing ids may not share memory here";
  }
  ASSERT_EQ(::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0), 0);
  Shared shared;
  shared.input = 65534;
  auto end = run_memory_sharing_child(become_nobody, &shared, kNoDeadlineMs);
  ASSERT_TRUE(end.ok()) << system_error_text(end.error());
  EXPECT_EQ(shared.result, 0);
  EXPECT_EQ(::geteuid(), 0u);
  EXPECT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
}

TEST(WaitChildUntil, AStoppedChildIsKilledAtTheDeadline) {
  auto child = spawn_piped({"sh", "-c", "kill -STOP $$"});
  ASSERT_TRUE(child.ok());
  auto end = wait_child_until(child->pid, 100);
  ASSERT_TRUE(end.ok()) << system_error_text(end.error());
  EXPECT_TRUE(end->killed_at_deadline);
  EXPECT_EQ(end->status.signal, SIGKILL);
}

TEST(SystemErrorText, NamesMessageAndNumber) {
  EXPECT_EQ(system_error_text(EPIPE), "Broken pipe (os error 32)");
  EXPECT_EQ(system_error_text(EACCES), "Permission denied (os error 13)");
}

}  // namespace
}  // namespace moxtile
