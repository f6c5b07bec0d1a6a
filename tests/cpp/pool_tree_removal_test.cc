// Removal of tenant trees and preparation of homes, done the way a tenant
// would try to break them. The home tests need root (they give directories
// away); they skip otherwise.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pool/account/home_directory.h"
#include "pool/posix/tree_removal.h"

namespace moxtile {
namespace {

class TreeRemovalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // In memory where the host has it: deep trees cost seconds on a busy disk.
    char in_memory[] = "/dev/shm/moxtile-tree-XXXXXX";
    char on_disk[] = "/tmp/moxtile-tree-XXXXXX";
    const char* made = ::mkdtemp(in_memory);
    if (made == nullptr) made = ::mkdtemp(on_disk);
    ASSERT_NE(made, nullptr);
    base_ = made;
  }
  void TearDown() override { (void)std::system(("rm -rf " + base_).c_str()); }

  std::string path(const std::string& rel) const { return base_ + "/" + rel; }
  void mkdir(const std::string& rel, mode_t mode = 0755) const {
    ASSERT_EQ(::mkdir(path(rel).c_str(), mode), 0) << rel;
  }
  void write(const std::string& rel, const std::string& text) const {
    std::ofstream(path(rel)) << text;
  }
  void symlink(const std::string& target, const std::string& rel) const {
    ASSERT_EQ(::symlink(target.c_str(), path(rel).c_str()), 0) << rel;
  }
  bool exists_nofollow(const std::string& rel) const {
    struct stat st;
    return ::lstat(path(rel).c_str(), &st) == 0;
  }
  std::string read(const std::string& rel) const {
    std::ifstream in(path(rel));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Makes `depth` nested directories `name` below `rel`, each holding a file
  // `file` if that is not empty, without ever opening more than two of them.
  void chain(const std::string& rel, int depth, const char* name, const char* file = "") const {
    int fd = ::open(path(rel).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < depth; ++i) {
      ASSERT_EQ(::mkdirat(fd, name, 0755), 0);
      int next = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      ASSERT_GE(next, 0);
      fd = next;
      if (*file != '\0') {
        int f = ::openat(fd, file, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(f, 0);
        ::close(f);
      }
    }
    ::close(fd);
  }

  std::string base_;
};

TEST_F(TreeRemovalTest, RemovesEveryKindOfEntry) {
  mkdir("outside");
  write("outside/keep", "precious");
  mkdir("home");
  mkdir("home/a");
  mkdir("home/a/b");
  mkdir("home/.hidden");
  write("home/a/b/f", "x");
  write("home/.hidden/g", "z");
  ASSERT_EQ(::mkfifo(path("home/a/fifo").c_str(), 0600), 0);  // opening it would block
  int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = path("home/sock");
  ASSERT_LT(sock_path.size(), sizeof(addr.sun_path));
  std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ::close(sock);
  for (const char* odd : {"new\nline", " spaced name ", "bad\xff\xfe utf8", "-rf", "*"}) {
    write(std::string("home/a/") + odd, "odd");
  }
  write("home/setuid", "#!/bin/sh\n");
  ASSERT_EQ(::chmod(path("home/setuid").c_str(), 04755), 0);
  ASSERT_EQ(::link(path("outside/keep").c_str(), path("home/hardlink").c_str()), 0);
  if (::geteuid() == 0) {  // root ignores permission bits; a tenant may set any
    mkdir("home/locked", 0);
    mkdir("home/locked/inner", 0);
    write("home/locked/inner/f", "x");
    ASSERT_EQ(::chmod(path("home/locked/inner").c_str(), 0), 0);
    ASSERT_EQ(::chmod(path("home/locked").c_str(), 0), 0);
  }
  EXPECT_EQ(remove_tree_at(AT_FDCWD, path("home")), 0);
  EXPECT_FALSE(exists_nofollow("home"));
  EXPECT_EQ(read("outside/keep"), "precious");
}

TEST_F(TreeRemovalTest, SymbolicLinksAreRemovedNotFollowed) {
  mkdir("outside");
  write("outside/keep", "precious");
  mkdir("home");
  mkdir("home/sub");
  symlink(path("outside"), "home/dirlink");
  symlink(path("outside/keep"), "home/sub/filelink");
  symlink("/nonexistent/target", "home/dangling");
  EXPECT_EQ(remove_tree_at(AT_FDCWD, path("home")), 0);
  EXPECT_FALSE(exists_nofollow("home"));
  EXPECT_EQ(read("outside/keep"), "precious");
}

TEST_F(TreeRemovalTest, ALinkAtTheTopIsRemovedAsALink) {
  mkdir("outside");
  write("outside/keep", "precious");
  symlink(path("outside"), "home");
  EXPECT_EQ(remove_tree_at(AT_FDCWD, path("home")), 0);
  EXPECT_FALSE(exists_nofollow("home"));
  EXPECT_EQ(read("outside/keep"), "precious");
}

TEST_F(TreeRemovalTest, PlainFileAndNothingAtAll) {
  write("file", "x");
  EXPECT_EQ(remove_tree_at(AT_FDCWD, path("file")), 0);
  EXPECT_FALSE(exists_nofollow("file"));
  EXPECT_EQ(remove_tree_at(AT_FDCWD, path("never-was")), 0);
}

TEST_F(TreeRemovalTest, RelativeToADirectoryDescriptor) {
  mkdir("home");
  write("home/f", "x");
  int fd = ::open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(remove_tree_at(fd, "home"), 0);
  ::close(fd);
  EXPECT_FALSE(exists_nofollow("home"));
}

// The caller saw the tenant's entry; by the time it removes it, someone who
// may write to the parent has put another entry under the name. What is there
// now stays; only the entry seen goes.
TEST_F(TreeRemovalTest, OnlyTheEntrySeenIsRemoved) {
  auto seen_at = [&](const std::string& rel) {
    struct stat st;
    EXPECT_EQ(::lstat(path(rel).c_str(), &st), 0) << rel;
    return SeenEntry{st.st_dev, st.st_ino, st.st_uid, S_ISDIR(st.st_mode)};
  };
  mkdir("seen");
  write("seen/f", "x");
  mkdir("other");
  write("other/precious", "x");
  write("file", "x");
  const SeenEntry seen_dir = seen_at("seen");
  SeenEntry other_owner = seen_dir;
  other_owner.owner += 1;  // the same inode number, reused by someone else
  const struct {
    const char* name;  // now at the name
    SeenEntry seen;
    int result;
    const char* kept;  // what must still be there
  } cases[] = {
      {"other", seen_dir, ESTALE, "other/precious"},
      {"seen", other_owner, ESTALE, "seen/f"},
      {"file", seen_dir, ESTALE, "file"},
      {"other", seen_at("file"), ESTALE, "other/precious"},
      {"seen", seen_dir, 0, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(remove_seen_tree_at(AT_FDCWD, path(c.name), c.seen), c.result) << c.name;
    if (c.kept != nullptr) {
      EXPECT_TRUE(exists_nofollow(c.kept)) << c.name;
    }
  }
  EXPECT_FALSE(exists_nofollow("seen"));
}

// A tenant can nest far deeper than the descriptors we may hold, and fill one
// directory with many entries.
TEST_F(TreeRemovalTest, DeepAndWideTreeWithFewDescriptors) {
  mkdir("home");
  chain("home", 30000, "d");
  int fd = ::open(path("home").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 5000; ++i) {
    const std::string name = "w" + std::to_string(i);
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
  }
  ::close(fd);

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit few{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &few) != 0) ::_exit(255);
    ::_exit(remove_tree_at(AT_FDCWD, path("home")));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << std::strerror(WEXITSTATUS(status));
  EXPECT_FALSE(exists_nofollow("home"));
}

// While the wipe runs, the tenant keeps moving a deep part of its tree out to
// a directory beside it and back. Coming back up through the moved part must
// not make the wipe remove the names of the tree's top in that directory.
TEST_F(TreeRemovalTest, SubtreeMovedOutDuringTheWipeTakesTheWipeNowhere) {
  std::vector<std::string> sentinels;
  for (int i = 0; i < 50; ++i) sentinels.push_back("k" + std::to_string(i));
  mkdir("outside");
  for (const auto& s : sentinels) write("outside/" + s, "precious");
  const std::string in = path("home/a");
  const std::string out = path("outside/a");

  for (int round = 0; round < 30; ++round) {
    mkdir("home");
    // "a" among the sentinel names, so some are still to be removed when
    // the wipe comes back up from it, whatever order the listing has.
    for (std::size_t i = 0; i < sentinels.size(); ++i) {
      if (i == sentinels.size() / 2) mkdir("home/a");
      write("home/" + sentinels[i], "tree");
    }
    chain("home/a", 300, "d", "f");

    std::atomic<bool> stop{false};
    std::thread mover([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        (void)::rename(in.c_str(), out.c_str());
        (void)::rename(out.c_str(), in.c_str());
      }
    });
    const int result = remove_tree_at(AT_FDCWD, path("home"));
    stop = true;
    mover.join();
    // A refill after the last listing is the tenant's doing too; what counts is the sentinels.
    EXPECT_TRUE(result == 0 || result == EAGAIN || result == ENOTEMPTY) << std::strerror(result);

    for (const auto& s : sentinels) {
      ASSERT_EQ(read("outside/" + s), "precious") << "round " << round << ": " << s;
    }
    // What was moved out is the tenant's; what is left of the tree goes now.
    ASSERT_EQ(remove_tree_at(AT_FDCWD, out), 0);
    ASSERT_EQ(remove_tree_at(AT_FDCWD, path("home")), 0);
    ASSERT_FALSE(exists_nofollow("home"));
  }
}

TEST_F(TreeRemovalTest, AMountInsideTheTreeIsNotEmptied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  mkdir("home");
  mkdir("home/mnt");
  if (::mount("none", path("home/mnt").c_str(), "tmpfs", 0, nullptr) != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  }
  write("home/mnt/keep", "precious");
  const int result = remove_tree_at(AT_FDCWD, path("home"));
  EXPECT_EQ(read("home/mnt/keep"), "precious");
  ASSERT_EQ(::umount2(path("home/mnt").c_str(), MNT_DETACH), 0);
  EXPECT_EQ(result, EXDEV) << std::strerror(result);
}

// prepare_home as root against a homes root made for the test.
class PrepareHomeTest : public TreeRemovalTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give directories away";
    TreeRemovalTest::SetUp();
    write("target", "root's");  // what a tenant would like to own
  }
  struct stat lstat_of(const std::string& rel) const {
    struct stat st{};
    EXPECT_EQ(::lstat(path(rel).c_str(), &st), 0) << rel;
    return st;
  }
  static constexpr std::uint32_t kUid = 54321;
  static constexpr const char* kParentFailed =
      "Failed to create the parent folder of the temporary home directory: ";
};

TEST_F(PrepareHomeTest, RootThatOthersCouldChangeIsRefused) {
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string reason;
  };
  const std::string root = path("homes");
  const std::vector<Case> cases = {
      {"owned by a tenant", [&] { ASSERT_EQ(::chown(root.c_str(), 65534, 65534), 0); },
       root + " is owned by uid 65534, not root"},
      {"writable by all", [&] { ASSERT_EQ(::chmod(root.c_str(), 0777), 0); },
       root + " is writable by group or others"},
      {"writable by its group", [&] { ASSERT_EQ(::chmod(root.c_str(), 0775), 0); },
       root + " is writable by group or others"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    mkdir("homes");
    c.make();
    symlink(path("target"), "homes/test_name");  // planted by the tenant
    auto home = prepare_home(root, "test_name", kUid);
    ASSERT_FALSE(home.ok());
    EXPECT_EQ(home.error(), kParentFailed + c.reason);
    EXPECT_EQ(lstat_of("target").st_uid, 0u);
    EXPECT_TRUE(S_ISLNK(lstat_of("homes/test_name").st_mode));  // not even touched
    ASSERT_EQ(remove_tree_at(AT_FDCWD, root), 0);
  }

  // A link to a sound directory, and a plain file, are not directories of ours.
  mkdir("real");
  symlink(path("real"), "homes");
  auto linked = prepare_home(root, "test_name", kUid);
  ASSERT_FALSE(linked.ok());
  EXPECT_EQ(linked.error(), kParentFailed + root + " is a symbolic link");
  EXPECT_FALSE(exists_nofollow("real/test_name"));
  ASSERT_EQ(::unlink(root.c_str()), 0);
  write("homes", "");
  auto file = prepare_home(root, "test_name", kUid);
  ASSERT_FALSE(file.ok());
  EXPECT_EQ(file.error(), kParentFailed + root + " is not a directory");
}

TEST_F(PrepareHomeTest, HomeIsAFreshPrivateDirectoryOfTheAccount) {
  // A missing root is made, with its missing ancestors; a symbolic link in
  // the ancestors is the administrator's and shows resolved in the path.
  mkdir("real");
  symlink(path("real"), "via");
  const std::string root = path("via/a/homes");
  const struct stat target_before = lstat_of("target");
  const mode_t old_umask = ::umask(0);  // must not widen the home
  auto first = prepare_home(root, "test_name", kUid);
  ::umask(old_umask);
  ASSERT_TRUE(first.ok()) << first.error();
  EXPECT_EQ(*first, path("real/a/homes/test_name"));
  struct stat st = lstat_of("real/a/homes");
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(st.st_uid, 0u);

  // Leftovers go, and so does a link the tenant put in place of its home.
  write("real/a/homes/test_name/leftover", "x");
  for (int round = 0; round < 2; ++round) {
    auto home = prepare_home(root, "test_name", kUid);
    ASSERT_TRUE(home.ok()) << home.error();
    EXPECT_EQ(*home, *first);
    st = lstat_of("real/a/homes/test_name");
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, kUid);
    EXPECT_EQ(st.st_gid, kUid);
    EXPECT_FALSE(exists_nofollow("real/a/homes/test_name/leftover"));
    ASSERT_EQ(::rmdir(path("real/a/homes/test_name").c_str()), 0);
    symlink(path("target"), "real/a/homes/test_name");
  }
  st = lstat_of("target");
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode, target_before.st_mode);
  EXPECT_EQ(read("target"), "root's");
}

}  // namespace
}  // namespace moxtile
