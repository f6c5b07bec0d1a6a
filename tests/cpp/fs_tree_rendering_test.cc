// Tree rendering: order, indentation, prefixes, start paths and failures.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fs/file_system.h"
#include "fs/tree_rendering.h"

namespace moxtile {
namespace {

// /d1/x/, /d2/e/y, /f1, /f2, with files and directories created interleaved
// so that the listing order (directories first) differs from creation order.
class FsTreeRendering : public ::testing::Test {
 public:
  void SetUp() override {
    for (const char* path : {"/f1", "/d1", "/f2", "/d2", "/d1/x", "/d2/e"}) {
      const std::string p(path);
      ASSERT_TRUE(p == "/f1" || p == "/f2" ? fs_->touch(p).ok() : fs_->mkdir(p).ok()) << p;
    }
    ASSERT_TRUE(fs_->touch("/d2/e/y").ok());
  }
  std::shared_ptr<FileSystem> fs_ = FileSystem::create();
};

TEST_F(FsTreeRendering, RendersWhatIsBelowTheStart) {
  const struct {
    const char* path;
    const char* prefix;
    const char* text;
  } cases[] = {
      {"/", "", "d1/\n  x/\nd2/\n  e/\n    y\nf1\nf2\n"},
      {"", "", "d1/\n  x/\nd2/\n  e/\n    y\nf1\nf2\n"},
      {"/d2", "", "e/\n  y\n"},
      {"d2/e", "", "y\n"},
      {"\\d2\\", "", "e/\n  y\n"},
      {"/d1/x", "", ""},
      {"/d2", "> ", "> e/\n>   y\n"},
      {"/", "-", "-d1/\n-  x/\n-d2/\n-  e/\n-    y\n-f1\n-f2\n"},
  };
  for (const auto& c : cases) {
    const IoResult<std::string> text = render_tree(*fs_, c.path, c.prefix);
    ASSERT_TRUE(text.ok()) << c.path;
    EXPECT_EQ(*text, c.text) << c.path << " with prefix '" << c.prefix << "'";
  }
}

TEST_F(FsTreeRendering, FailsWithoutPartialText) {
  const std::pair<const char*, IoErrorKind> cases[] = {
      {"/nothing", IoErrorKind::InodeNotFound},
      {"/D1", IoErrorKind::InodeNotFound},
      {"/f1", IoErrorKind::NotADirectory},
      {"/f1/x", IoErrorKind::NotADirectory},
  };
  for (const auto& [path, kind] : cases) {
    const IoResult<std::string> text = render_tree(*fs_, path, "");
    ASSERT_FALSE(text.ok()) << path;
    EXPECT_EQ(text.error().kind(), kind) << path;
  }
}

TEST(FsTreeRenderingDepth, ReachesTheDeepestDirectory) {
  std::shared_ptr<FileSystem> fs = FileSystem::create();
  std::string path;
  for (std::uint32_t depth = 1; depth <= kMaxDepth; ++depth) {
    path += "/d";
    ASSERT_TRUE(fs->mkdir(path).ok()) << depth;
  }
  const IoResult<std::string> text = render_tree(*fs, "/", "");
  ASSERT_TRUE(text.ok());
  std::string expected;
  for (std::uint32_t depth = 0; depth < kMaxDepth; ++depth) {
    expected += std::string(2 * depth, ' ') + "d/\n";
  }
  EXPECT_EQ(*text, expected);
}

}  // namespace
}  // namespace moxtile
