// Path resolution: names, whole paths and the way back from an id to a path.
#include <gtest/gtest.h>

#include <string>

#include "fs/file_system.h"

namespace moxtile {
namespace {

class FsPath : public ::testing::Test {
 public:
  void SetUp() override {
    a_ = *fs_->create_inode(kRootId, "a", NodeType::Directory);
    b_ = *fs_->create_inode(a_, "b", NodeType::Directory);
    c_ = *fs_->create_inode(b_, "c", NodeType::Directory);
    f_ = *fs_->create_inode(kRootId, "f", NodeType::File);
    rb_ = *fs_->create_inode(kRootId, "b", NodeType::Directory);
  }
  std::shared_ptr<FileSystem> fs_ = FileSystem::create();
  InodeId a_ = 0, b_ = 0, c_ = 0, f_ = 0, rb_ = 0;
};

TEST_F(FsPath, PathsResolve) {
  const std::pair<const char*, InodeId FsPath::*> cases[] = {
      {"", nullptr},
      {"/", nullptr},
      {"//", nullptr},
      {"\\", nullptr},
      {".", nullptr},
      {"..", nullptr},
      {"/..", nullptr},
      {"/./.", nullptr},
      {"/a/b", &FsPath::b_},
      {"a/b", &FsPath::b_},
      {"/a//b/", &FsPath::b_},
      {"\\a\\b", &FsPath::b_},
      {"/a/./b", &FsPath::b_},
      {"a\\b/c", &FsPath::c_},
      {"/a/../b", &FsPath::rb_},
      {"/a/b/c/../../..", nullptr},
      {"/f/.", &FsPath::f_},
      {"/f/", &FsPath::f_},
      {"/f/..", nullptr},
      {"/a/b/c/../..", &FsPath::a_},
      {"/../../a", &FsPath::a_},
  };
  for (const auto& [path, member] : cases) {
    auto id = fs_->get_inode_by_path_raw(path);
    ASSERT_TRUE(id.ok()) << path;
    EXPECT_EQ(*id, member == nullptr ? kRootId : this->*member) << path;
  }
}

TEST_F(FsPath, PathsFail) {
  const std::pair<const char*, IoErrorKind> cases[] = {
      {"/x", IoErrorKind::InodeNotFound},       {"/A", IoErrorKind::InodeNotFound},  // case matters
      {"/x/../a", IoErrorKind::InodeNotFound},  // ".." does not cancel a missing name
      {"/f/x", IoErrorKind::NotADirectory},     {"/f/x/..", IoErrorKind::NotADirectory},
      {"/a/b/c/d", IoErrorKind::InodeNotFound},
  };
  for (const auto& [path, expected] : cases) {
    auto id = fs_->get_inode_by_path_raw(path);
    ASSERT_FALSE(id.ok()) << path;
    EXPECT_EQ(id.error().kind(), expected) << path;
  }
}

TEST_F(FsPath, FindByName) {
  EXPECT_EQ(*fs_->find_inode_by_name(f_, "."), f_);
  EXPECT_EQ(*fs_->find_inode_by_name(f_, ""), f_);
  EXPECT_EQ(*fs_->find_inode_by_name(f_, ".."), kRootId);
  EXPECT_EQ(fs_->find_inode_by_name(f_, "x").error().kind(), IoErrorKind::NotADirectory);
  EXPECT_EQ(*fs_->find_inode_by_name(a_, ""), a_);
  EXPECT_EQ(*fs_->find_inode_by_name(kRootId, ".."), kRootId);
  EXPECT_EQ(*fs_->find_inode_by_name(b_, ".."), a_);
  EXPECT_EQ(*fs_->find_inode_by_name(a_, "b"), b_);
  EXPECT_EQ(fs_->find_inode_by_name(c_, "b").error().kind(), IoErrorKind::InodeNotFound);
  EXPECT_EQ(fs_->find_inode_by_name(999, ".").error().kind(), IoErrorKind::InodeNotFound);
}

TEST_F(FsPath, PathOfAnId) {
  EXPECT_EQ(*fs_->get_path_by_inode(kRootId), "/");
  EXPECT_EQ(*fs_->get_path_by_inode(c_), "/a/b/c");
  EXPECT_EQ(*fs_->get_path_by_inode(f_), "/f");
  ASSERT_TRUE(fs_->rm_raw(c_, false).ok());
  EXPECT_EQ(fs_->get_path_by_inode(c_).error().kind(), IoErrorKind::InodeNotFound);
}

TEST_F(FsPath, PathsLongerThanTheInlineChain) {
  InodeId id = c_;
  std::string expected = "/a/b/c";
  for (int i = 0; i < 20; ++i) {
    std::string name = std::to_string(i);
    id = *fs_->create_inode(id, name, NodeType::Directory);
    expected.append("/").append(name);
  }
  EXPECT_EQ(*fs_->get_path_by_inode(id), expected);
  EXPECT_EQ(*fs_->get_inode_by_path_raw(expected), id);
}

}  // namespace
}  // namespace moxtile
