// The sweep of an account's leftovers and the root-only directories it relies
// on. These need root (to give files to other users); they skip otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "pool/account/account_leftovers.h"
#include "pool/account/private_dir.h"

namespace moxtile {
namespace {

// No account has this uid: the sweep looks for it all the same.
constexpr std::uint32_t kTenant = 4242424;
constexpr std::uint32_t kOther = 65534;
constexpr std::uint32_t kVictim = 4242425;

class LeftoversTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
    char templ[] = "/tmp/moxtile-leftovers-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    base_ = templ;
  }
  void TearDown() override {
    if (!base_.empty()) (void)std::system(("rm -rf " + base_).c_str());
  }

  std::string path(const std::string& rel) const { return base_ + "/" + rel; }
  void file(const std::string& rel, std::uint32_t owner) const {
    int fd = ::open(path(rel).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << rel;
    ::close(fd);
    ASSERT_EQ(::lchown(path(rel).c_str(), owner, owner), 0) << rel;
  }
  void dir(const std::string& rel, std::uint32_t owner, mode_t mode) const {
    ASSERT_EQ(::mkdir(path(rel).c_str(), mode), 0) << rel;
    ASSERT_EQ(::chmod(path(rel).c_str(), mode), 0) << rel;
    ASSERT_EQ(::chown(path(rel).c_str(), owner, owner), 0) << rel;
  }
  bool exists(const std::string& rel) const {
    struct stat st;
    return ::lstat(path(rel).c_str(), &st) == 0;
  }

  std::string base_;
};

// Another account can nest directories that any account may write to far
// deeper than the descriptors we may hold, and hide the tenant's file at the
// bottom, beside a link of the tenant's to something it must not touch.
TEST_F(LeftoversTest, DeepDirectoriesOfOthersWithFewDescriptors) {
  ASSERT_EQ(::chmod(base_.c_str(), 01777), 0);
  file("keep", 0);
  std::string rel = "d";
  for (int depth = 0; depth < 300; ++depth, rel += "/d") {
    ASSERT_EQ(::mkdir(path(rel).c_str(), 01777), 0);
    ASSERT_EQ(::chmod(path(rel).c_str(), 01777), 0);
  }
  file(rel, kTenant);
  ASSERT_EQ(::symlink(path("keep").c_str(), path(rel + "-link").c_str()), 0);
  ASSERT_EQ(::lchown(path(rel + "-link").c_str(), kTenant, kTenant), 0);
  file(rel + "-other", kOther);

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit few{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &few) != 0) ::_exit(2);
    auto result = remove_account_leftovers(kTenant, "/nonexistent");
    if (!result.ok()) std::fprintf(stderr, "%s\n", result.error().c_str());
    ::_exit(result.ok() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(exists(rel));
  EXPECT_FALSE(exists(rel + "-link"));
  EXPECT_TRUE(exists(rel + "-other"));
  EXPECT_TRUE(exists("keep"));
}

// An account that owns a directory without the sticky bit may swap the names
// of its entries at will: between the sweep's look at the tenant's directory
// and its removal, it puts a victim's directory, which it could not empty
// itself, under that name. The swapper never stops; the victim's tree must
// never go, and once it stops, the tenant's must.
TEST_F(LeftoversTest, ANameSwappedAfterTheLookNeverTakesAnotherTree) {
  const std::string homes = path("homes");
  dir("homes", 0, 0755);
  dir("homes/c", kOther, 0755);
  dir("homes/c/a", kVictim, 0755);
  file("homes/c/a/keep", kVictim);
  const char* names[] = {"a", "b"};
  // Held open: the names keep changing.
  const int victim = ::open(path("homes/c/a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(victim, 0);
  auto victim_intact = [&] {
    struct stat st;
    return ::fstatat(victim, "keep", &st, AT_SYMLINK_NOFOLLOW) == 0;
  };
  auto tenants_left = [&](int c) {
    struct stat st;
    for (const char* n : names) {
      if (::fstatat(c, n, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid == kTenant) return true;
    }
    return false;
  };
  // The swap needs both names: the one missing stays missing until filled.
  auto plant = [&](int c) {
    for (const char* n : names) {
      if (::faccessat(c, n, F_OK, AT_SYMLINK_NOFOLLOW) == 0) continue;
      dir("homes/new", kTenant, 0755);
      file("homes/new/program", kTenant);
      ASSERT_EQ(::renameat2(AT_FDCWD, path("homes/new").c_str(), c, n, RENAME_NOREPLACE), 0);
    }
  };

  const int c = ::open(path("homes/c").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(c, 0);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      (void)::renameat2(c, "a", c, "b", RENAME_EXCHANGE);
    }
  });
  int rounds = 0;
  bool intact = true;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
       intact && std::chrono::steady_clock::now() < end; ++rounds) {
    plant(c);
    (void)remove_account_leftovers(kTenant, homes);  // may give up: the names keep changing
    intact = victim_intact();
  }
  stop = true;
  swapper.join();
  EXPECT_TRUE(intact) << "the victim's tree went in round " << rounds;

  auto quiet = remove_account_leftovers(kTenant, homes);
  EXPECT_TRUE(quiet.ok()) << quiet.error();
  EXPECT_TRUE(victim_intact());
  EXPECT_FALSE(tenants_left(c));
  ::close(c);
  ::close(victim);
}

// What someone may have prepared at the path before root uses it.
TEST_F(LeftoversTest, PrivateDirectoryIsMadeOrRefused) {
  const mode_t old_mask = ::umask(077);  // must not narrow a directory we make
  auto made = open_private_dir(path("fresh").c_str(), 0755);
  ::umask(old_mask);
  ASSERT_TRUE(made.ok()) << made.error();
  struct stat st;
  ASSERT_EQ(::fstat(made->get(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_TRUE(open_private_dir(path("fresh").c_str(), 0755).ok());

  ASSERT_EQ(::mkdir(path("wide").c_str(), 0700), 0);
  ASSERT_EQ(::chmod(path("wide").c_str(), 0777), 0);
  ASSERT_EQ(::mkdir(path("theirs").c_str(), 0700), 0);
  ASSERT_EQ(::chown(path("theirs").c_str(), kOther, kOther), 0);
  ASSERT_EQ(::symlink(path("fresh").c_str(), path("link").c_str()), 0);
  file("plain", 0);
  const struct {
    const char* name;
    mode_t mode;
    std::string error;
  } refused[] = {
      {"wide", 0755, path("wide") + " has mode 0777, wider than we allow"},
      {"fresh", 0700, path("fresh") + " has mode 0755, wider than we allow"},
      {"theirs", 0755, path("theirs") + " is owned by uid 65534, not by us"},
      {"link", 0755, "cannot open " + path("link") + ": Not a directory (os error 20)"},
      {"plain", 0755, "cannot open " + path("plain") + ": Not a directory (os error 20)"},
  };
  for (const auto& r : refused) {
    auto opened = open_private_dir(path(r.name).c_str(), r.mode);
    ASSERT_FALSE(opened.ok()) << r.name;
    EXPECT_EQ(opened.error(), r.error);
  }
}

}  // namespace
}  // namespace moxtile
