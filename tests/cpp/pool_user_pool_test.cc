// Allocation, release and sessions with real accounts: these need root and
// the host's useradd, su, pkill; they skip otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pool/account/account_processes.h"
#include "pool/account/home_directory.h"
#include "pool/account/lifecycle.h"
#include "pool/account/terminal_session.h"
#include "pool/account/user_pool.h"
#include "pool/posix/tree_removal.h"

namespace moxtile {
namespace {

bool on_path(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

#define REQUIRE_ROOT_AND_TOOLS()                                                      \
  do {                                                                                \
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create and switch accounts"; \
    for (const char* t : {"useradd", "su", "pkill", "id"})                            \
      if (!on_path(t)) GTEST_SKIP() << t << " not found";                             \
  } while (0)

// Sets PATH for the scope of one test.
class ScopedPath final {
 public:
  explicit ScopedPath(const char* value) : old_(::getenv("PATH") ? ::getenv("PATH") : "") {
    ::setenv("PATH", value, 1);
  }
  ~ScopedPath() { ::setenv("PATH", old_.c_str(), 1); }

 private:
  std::string old_;
};

SharedUserPool make_pool(std::size_t n) {
  auto pool = new_user_pool(n);
  EXPECT_TRUE(pool.ok());
  return std::move(pool).value();
}

TEST(UserPool, CapacityZeroRefusesWithoutRunningAnyTool) {
  auto pool = make_pool(0);
  ScopedPath no_tools("/nonexistent");  // a tool run would now panic
  auto user = alloc_user(pool);
  ASSERT_FALSE(user.ok());
  EXPECT_EQ(user.error(), "Failed to allocate a new user account");
}

TEST(UserPool, ImpossibleCapacityIsRefusedAtConstruction) {
  auto pool = new_user_pool(static_cast<std::size_t>(-1));
  ASSERT_FALSE(pool.ok());
}

TEST(UserPool, ToolThatCannotStartIsAnOrdinaryFailureAndThePoolGoesOn) {
  auto pool = make_pool(4);
  for (int attempt = 0; attempt < 2; ++attempt) {
    ScopedPath no_tools("/nonexistent");
    auto user = alloc_user(pool);
    ASSERT_FALSE(user.ok());
    EXPECT_EQ(user.error(),
              "Failed to allocate a new user account: Failed to execute the command `id`: "
              "No such file or directory (os error 2)");
  }
  auto guard = pool->lock();
  EXPECT_TRUE(guard->user().empty());
}

TEST(UserPool, UseridParsesTheFirstLine) {
  if (!on_path("id")) GTEST_SKIP() << "id not found";
  EXPECT_EQ(userid("root").value(), std::optional<std::uint32_t>(0));
  EXPECT_EQ(userid("no_such_account_zz9").value(), std::nullopt);
}

TEST(UserPool, FailedPreparationKeepsTheAccountOutOfCirculation) {
  REQUIRE_ROOT_AND_TOOLS();
  auto pool = make_pool(1);
  std::uint32_t uid;
  {
    auto user = alloc_user(pool);
    ASSERT_TRUE(user.ok()) << user.error();
    uid = (*user)->lock()->uid();
  }  // released: back on the idle list
  // A homes root that others may write to is refused, so the preparation fails.
  ASSERT_EQ(::chmod(kHomeRoot, 0777), 0);
  auto failed = alloc_user(pool);
  ASSERT_EQ(::chmod(kHomeRoot, 0755), 0);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(
      failed.error().rfind("Failed to create the parent folder of the temporary home directory", 0),
      0u)
      << failed.error();
  {
    // Not handed out again by this pool (a home it could not make may hold a
    // trap), and no longer counted against its capacity.
    auto guard = pool->lock();
    EXPECT_TRUE(guard->user().empty());
    EXPECT_TRUE(guard->free_user().empty());
    ASSERT_EQ(guard->set_aside().size(), 1u);
    EXPECT_EQ(guard->set_aside().back().uid, uid);
  }
  // The slot is free again, and the next allocation goes on with the next name.
  auto next = alloc_user(pool);
  ASSERT_TRUE(next.ok()) << next.error();
  EXPECT_NE((*next)->lock()->uid(), uid);
}

TEST(UserPool, HomeIsFreshAndOwnedByTheAccount) {
  REQUIRE_ROOT_AND_TOOLS();
  auto pool = make_pool(1);
  std::string home;
  {
    auto user = alloc_user(pool);
    ASSERT_TRUE(user.ok()) << user.error();
    home = (*user)->lock()->home();
    ASSERT_EQ(std::system(("touch " + home + "/leftover").c_str()), 0);
  }
  auto user = alloc_user(pool);
  ASSERT_TRUE(user.ok()) << user.error();
  auto guard = (*user)->lock();
  EXPECT_EQ(guard->home(), home);
  struct stat st;
  ASSERT_EQ(::stat(home.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, guard->uid());
  EXPECT_EQ(st.st_gid, guard->uid());
  EXPECT_NE(::access((home + "/leftover").c_str(), F_OK), 0);
}

std::string read_until(TerminalSession& s, const std::string& word) {
  std::string seen;
  std::uint8_t buf[1024];
  while (seen.find(word) == std::string::npos) {
    auto n = s.read_stdout(buf);
    if (!n.ok() || n.value() == 0) break;
    seen.append(reinterpret_cast<char*>(buf), n.value());
  }
  return seen;
}

std::span<const std::uint8_t> bytes(const char* text) {
  return {reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)};
}

TEST(TerminalSession, RunsAsTheAccountAndLeavesNothingBehind) {
  REQUIRE_ROOT_AND_TOOLS();
  ::signal(SIGPIPE, SIG_IGN);  // as in the Python interpreter: a dead shell gives EPIPE
  auto pool = make_pool(1);
  auto user = alloc_user(pool);
  ASSERT_TRUE(user.ok()) << user.error();
  const std::uint32_t uid = (*user)->lock()->uid();
  const std::string home = (*user)->lock()->home();

  auto session = spawn_terminal(*user);
  ASSERT_TRUE(session.ok()) << session.error();
  TerminalSession& s = **session;
  ASSERT_TRUE(s.write(bytes("echo \"$(id -u) $PWD $HOME\" done_$((6*7))\n")).ok());
  std::string out = read_until(s, "done_42");
  EXPECT_NE(out.find(std::to_string(uid) + " " + home + " " + home + " done_42"), std::string::npos)
      << out;

  // Survivors of the polite signal, started in the background.
  ASSERT_TRUE(s.write(bytes("trap '' TERM; sleep 1000 & sleep 1000 & echo bg_$((1+1))\n")).ok());
  read_until(s, "bg_2");
  EXPECT_GE(count_account_processes(uid).value(), 2u);

  ASSERT_TRUE(s.write(bytes("exit\n")).ok());
  std::uint8_t buf[1024];
  for (int i = 0; i < 1000; ++i) {
    auto n = s.read_stdout(buf);
    ASSERT_TRUE(n.ok()) << n.error();
    if (n.value() == 0) break;
  }
  EXPECT_EQ(s.read_stdout(buf).value(), 0u);
  // End of output may come a moment before su lets go of its input.
  TermResult<void> broken;
  for (int i = 0; i < 200 && broken.ok(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    broken = s.write(bytes("echo too late\n"));
  }
  ASSERT_FALSE(broken.ok());
  EXPECT_EQ(broken.error(),
            "Failed to write to the stdin of the process: Broken pipe (os error 32)");

  s.close();
  EXPECT_EQ(s.write(bytes("x")).error(), "The process is None");
  EXPECT_EQ(s.read_stdout(buf).error(), "The process is None");
  EXPECT_EQ(s.read_stderr(buf).error(), "The process is None");
  s.close();

  session.value().reset();
  user.value().reset();  // the last holder: release
  EXPECT_EQ(count_account_processes(uid).value(), 0u);
  auto guard = pool->lock();
  EXPECT_TRUE(guard->user().empty());
  ASSERT_EQ(guard->free_user().size(), 1u);
  EXPECT_EQ(guard->free_user().back().uid, uid);
}

TEST(UserPool, ConcurrentAllocationsNeverShareAnAccountOrExceedTheBound) {
  REQUIRE_ROOT_AND_TOOLS();
  constexpr std::size_t kBound = 2;
  auto pool = make_pool(kBound);
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  std::mutex held_mutex;
  std::set<std::uint32_t> held;  // uids handed out right now; under held_mutex
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 3; ++round) {
        auto user = alloc_user(pool);
        if (!user.ok()) {
          EXPECT_EQ(user.error(), kAllocFailed);
          ++refused;
          continue;
        }
        const std::uint32_t uid = (*user)->lock()->uid();
        {
          std::lock_guard<std::mutex> hold(held_mutex);
          EXPECT_TRUE(held.insert(uid).second) << "uid " << uid << " handed out twice";
          EXPECT_LE(held.size(), kBound);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        {
          std::lock_guard<std::mutex> hold(held_mutex);
          held.erase(uid);
        }
      }  // each round's user is released here
    });
  }
  for (auto& th : threads) th.join();
  auto guard = pool->lock();
  EXPECT_TRUE(guard->user().empty());
  EXPECT_LE(guard->free_user().size(), kBound);
}

TEST(TerminalSession, StartScriptQuotesTheHomeVerbatim) {
  EXPECT_EQ(start_script("/tmp/a b/$x"),
            "export HOME=\"/tmp/a b/$x\"; cd \"/tmp/a b/$x\"; exec /bin/bash");
}

TEST(TerminalSession, MissingSuIsReportedBySpawn) {
  auto user =
      std::make_shared<PoisonableMutex<User>>("nobody_here", "/tmp", nullptr, 65533, nullptr);
  ScopedPath no_tools("/nonexistent");
  auto session = spawn_terminal(user);
  ASSERT_FALSE(session.ok());
  EXPECT_EQ(session.error(),
            "Failed to create the terminal session: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace moxtile
