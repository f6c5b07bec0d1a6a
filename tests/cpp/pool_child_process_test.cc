#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "pool/posix/child_process.h"
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
  struct sigaction ignore {
  }, old_action{};
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

TEST(SystemErrorText, NamesMessageAndNumber) {
  EXPECT_EQ(system_error_text(EPIPE), "Broken pipe (os error 32)");
  EXPECT_EQ(system_error_text(EACCES), "Permission denied (os error 13)");
}

}  // namespace
}  // namespace moxtile
