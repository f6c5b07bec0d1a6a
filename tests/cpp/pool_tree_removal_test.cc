#include "pool/tree_removal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace moxtile {
namespace {

class TreeRemovalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/moxtile-tree-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    base_ = templ;
  }
  void TearDown() override { (void)std::system(("rm -rf " + base_).c_str()); }

  std::string path(const std::string& rel) const { return base_ + "/" + rel; }
  void mkdir(const std::string& rel) const { ASSERT_EQ(::mkdir(path(rel).c_str(), 0755), 0) << rel; }
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

  std::string base_;
};

TEST_F(TreeRemovalTest, RemovesNestedTree) {
  mkdir("home");
  mkdir("home/a");
  mkdir("home/a/b");
  mkdir("home/.hidden");
  write("home/a/b/f", "x");
  write("home/top", "y");
  write("home/.hidden/g", "z");
  ASSERT_EQ(::chmod(path("home/a/b").c_str(), 0), 0);  // root or not, we own it
  EXPECT_EQ(remove_tree_at(AT_FDCWD, path("home")), 0);
  EXPECT_FALSE(exists_nofollow("home"));
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

TEST_F(TreeRemovalTest, DeepTreeDoesNotExhaustTheStack) {
  mkdir("home");
  std::string rel = "home";
  int fd = ::open(path(rel).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 300; ++i) {  // deeper than PATH_MAX allows as one string
    ASSERT_EQ(::mkdirat(fd, "dddddddddddddddddddd", 0755), 0);
    int next = ::openat(fd, "dddddddddddddddddddd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    ASSERT_GE(next, 0);
    fd = next;
  }
  ::close(fd);
  EXPECT_EQ(remove_tree_at(AT_FDCWD, path("home")), 0);
  EXPECT_FALSE(exists_nofollow("home"));
}

}  // namespace
}  // namespace moxtile
