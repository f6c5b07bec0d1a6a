// Namespace operations: mkdir, touch, rm, ls and open by path, plus large
// directories that outgrow their inline child list.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fs/file_handle.h"
#include "fs/file_system.h"

namespace moxtile {
namespace {

using Names = std::vector<std::string>;
const FileHandleType kRead(FileHandleType::kRead);
const FileHandleType kWrite(FileHandleType::kWrite);

IoErrorKind kind_of(const IoStatus& s) { return s.error().kind(); }

TEST(FsNamespace, MakeFailures) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->mkdir("d").ok());  // no separator: in the root
  ASSERT_TRUE(fs->touch("/f").ok());
  EXPECT_EQ(*fs->get_inode_by_path_raw("/d"), 1u);
  const std::pair<const char*, IoErrorKind> cases[] = {
      {"d", IoErrorKind::ResourceAlreadyExists},     {"/f", IoErrorKind::ResourceAlreadyExists},
      {"/d/", IoErrorKind::ResourceAlreadyExists},   {"/", IoErrorKind::ResourceAlreadyExists},
      {"/x/y", IoErrorKind::InodeNotFound},          {"/f/y", IoErrorKind::NotADirectory},
      {"/d/..", IoErrorKind::ResourceAlreadyExists},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(kind_of(fs->mkdir(path)), expected) << path;
    EXPECT_EQ(kind_of(fs->touch(path)), expected) << path;
  }
}

TEST(FsNamespace, TouchOfAnExistingFileKeepsItsContents) {
  auto fs = FileSystem::create();
  {
    auto h = open(fs, "/f", kWrite, true);
    const std::uint8_t bytes[] = {1, 2, 3};
    ASSERT_TRUE(h->write(bytes).ok());
  }
  EXPECT_EQ(kind_of(fs->touch("/f")), IoErrorKind::ResourceAlreadyExists);
  EXPECT_EQ(fs->inodes().get(1)->file_data().size(), 3u);
}

TEST(FsNamespace, ListingKeepsCreationOrderPerKind) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->touch("f1").ok());
  ASSERT_TRUE(fs->mkdir("d1").ok());
  ASSERT_TRUE(fs->touch("f2").ok());
  auto listing = fs->ls_raw(kRootId);
  EXPECT_EQ(listing->files, (Names{"f1", "f2"}));
  EXPECT_EQ(listing->directories, (Names{"d1"}));
  auto empty = fs->ls_raw(*fs->get_inode_by_path_raw("d1"));
  EXPECT_TRUE(empty->files.empty() && empty->directories.empty());
  EXPECT_EQ(fs->ls_raw(1).error().kind(), IoErrorKind::NotADirectory);
  EXPECT_EQ(fs->ls_raw(50).error().kind(), IoErrorKind::InodeNotFound);
}

TEST(FsNamespace, ForEachChildStopsWhenAsked) {
  auto fs = FileSystem::create();
  for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(fs->touch(n).ok());
  Names seen;
  ASSERT_TRUE(fs->for_each_child(kRootId, [&](std::string_view name, bool) {
                  seen.emplace_back(name);
                  return seen.size() < 2;
                }).ok());
  EXPECT_EQ(seen, (Names{"a", "b"}));
}

TEST(FsNamespace, RemoveRules) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->mkdir("/d").ok());
  ASSERT_TRUE(fs->mkdir("/d/e").ok());
  ASSERT_TRUE(fs->touch("/d/e/f").ok());
  ASSERT_TRUE(fs->mkdir("/empty").ok());
  EXPECT_EQ(kind_of(fs->rm("/d", false)), IoErrorKind::DirectoryIsNotEmpty);
  EXPECT_EQ(fs->inodes().size(), 5u);
  EXPECT_TRUE(fs->rm("/empty", false).ok());
  EXPECT_TRUE(fs->rm("/d", true).ok());
  EXPECT_EQ(fs->inodes().size(), 1u);
  EXPECT_EQ(kind_of(fs->rm("/d", true)), IoErrorKind::InodeNotFound);
  EXPECT_EQ(kind_of(fs->rm_raw(3, false)), IoErrorKind::InodeNotFound);
  ASSERT_TRUE(fs->touch("/g").ok());
  EXPECT_EQ(*fs->get_inode_by_path_raw("/g"), 5u);
}

TEST(FsNamespace, RemoveOfAnOpenFile) {
  auto fs = FileSystem::create();
  for (const char* mode : {"", "r", "w", "rw"}) {
    ASSERT_TRUE(fs->touch("/f").ok());
    auto h = open(fs, "/f", *FileHandleType::from_str(mode), false);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(kind_of(fs->rm("/f", false)), IoErrorKind::ResourceCurrentInUse) << mode;
    ASSERT_TRUE(h->close().ok());
    EXPECT_TRUE(fs->rm("/f", false).ok()) << mode;
  }
}

TEST(FsNamespace, RecursiveRemoveStopsAtTheFirstFailure) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->mkdir("/d").ok());
  ASSERT_TRUE(fs->mkdir("/d/a").ok());
  ASSERT_TRUE(fs->touch("/d/a/x").ok());
  ASSERT_TRUE(fs->touch("/d/busy").ok());
  ASSERT_TRUE(fs->touch("/d/later").ok());
  auto h = open(fs, "/d/busy", kRead, false);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(kind_of(fs->rm("/d", true)), IoErrorKind::ResourceCurrentInUse);
  auto listing = fs->ls_raw(*fs->get_inode_by_path_raw("/d"));
  EXPECT_EQ(listing->files, (Names{"busy", "later"}));
  EXPECT_TRUE(listing->directories.empty());
  EXPECT_EQ(fs->get_inode_by_path_raw("/d/a/x").error().kind(), IoErrorKind::InodeNotFound);
  ASSERT_TRUE(h->close().ok());
  EXPECT_TRUE(fs->rm("/d", true).ok());
}

TEST(FsNamespace, RemovingTheRootEmptiesItAndKeepsItUsable) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->mkdir("/d").ok());
  ASSERT_TRUE(fs->touch("/d/f").ok());
  EXPECT_EQ(kind_of(fs->rm("/", false)), IoErrorKind::DirectoryIsNotEmpty);
  EXPECT_TRUE(fs->rm("/", true).ok());
  EXPECT_EQ(fs->inodes().size(), 1u);
  EXPECT_TRUE(fs->rm_raw(kRootId, false).ok());  // empty: nothing to do
  EXPECT_TRUE(fs->mkdir("/again").ok());
  EXPECT_EQ(*fs->get_path_by_inode(*fs->get_inode_by_path_raw("/again")), "/again");
}

TEST(FsNamespace, OpenByPath) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->mkdir("/d").ok());
  ASSERT_TRUE(fs->touch("/f").ok());
  struct Case {
    const char* path;
    bool create;
    IoErrorKind expected;
  };
  const Case cases[] = {
      {"/missing", false, IoErrorKind::InodeNotFound},
      {"/nodir/x", true, IoErrorKind::InodeNotFound},
      {"/f/x", true, IoErrorKind::NotADirectory},
      {"/f/x", false, IoErrorKind::NotADirectory},
      {"/d", true, IoErrorKind::NotAFile},
      {"/d/", true, IoErrorKind::NotAFile},
      {"/d/.", true, IoErrorKind::NotAFile},
      {"/d/..", true, IoErrorKind::NotAFile},
      {"/f/", true, IoErrorKind::NotAFile},
      {"/", false, IoErrorKind::NotAFile},
  };
  for (const Case& c : cases) {
    auto h = open(fs, c.path, kRead, c.create);
    ASSERT_FALSE(h.ok()) << c.path;
    EXPECT_EQ(h.error().kind(), c.expected) << c.path;
  }
  EXPECT_EQ(fs->inodes().size(), 3u);
  // Creation in read-only mode; the new file is empty and opened.
  auto made = open(fs, "/d/new", kRead, true);
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(*made->id(), *fs->get_inode_by_path_raw("/d/new"));
  EXPECT_EQ(fs->inodes().get(*made->id())->file_lock().load(), 1);
}

TEST(FsNamespace, OpenWithCreateNeitherRecreatesNorTruncates) {
  auto fs = FileSystem::create();
  auto first = open(fs, "/f", kWrite, true);
  const std::uint8_t bytes[] = {7, 8};
  ASSERT_TRUE(first->write(bytes).ok());
  ASSERT_TRUE(first->close().ok());
  InodeId before = fs->next_inode_id();
  auto again = open(fs, "/f", kRead, true);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(fs->next_inode_id(), before);
  std::uint8_t buf[4];
  EXPECT_EQ(*again->read(buf), 2u);
}

TEST(FsNamespace, OpenRawChecksTheKind) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->mkdir("/d").ok());
  EXPECT_EQ(open_raw(fs, 1, kRead).error().kind(), IoErrorKind::NotAFile);
  EXPECT_EQ(open_raw(fs, 9, kRead).error().kind(), IoErrorKind::InodeNotFound);
  ASSERT_TRUE(fs->touch("/d/f").ok());
  EXPECT_TRUE(open_raw(fs, 2, kRead).ok());
}

// Crosses the inline limit of 8 children and the growth steps of the name
// index, removes names from everywhere in the order and adds them back.
TEST(FsNamespace, LargeDirectoriesKeepOrderAndFindEveryName) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->mkdir("/big").ok());
  InodeId big = *fs->get_inode_by_path_raw("/big");
  for (int i = 0; i < 3000; ++i) {
    std::string name = "entry-" + std::to_string(i);
    ASSERT_TRUE(i % 7 == 0 ? fs->mkdir("/big/" + name).ok() : fs->touch("/big/" + name).ok());
  }
  auto removed = [](int i) { return i % 3 == 0 || (i > 1000 && i < 2500); };
  for (int i = 0; i < 3000; ++i) {
    if (removed(i)) {
      ASSERT_TRUE(fs->rm("/big/entry-" + std::to_string(i), false).ok()) << i;
    }
  }
  Names kept;
  for (int i = 0; i < 3000; ++i) {
    std::string name = "entry-" + std::to_string(i);
    auto found = fs->find_inode_by_name(big, name);
    EXPECT_EQ(found.ok(), !removed(i)) << name;
    if (!removed(i)) kept.push_back(name);
  }
  // Names come back at the end of the order, under new ids.
  for (int i = 0; i < 3000; i += 3) {
    ASSERT_TRUE(fs->touch("/big/entry-" + std::to_string(i)).ok());
    kept.push_back("entry-" + std::to_string(i));
  }
  Names all;
  ASSERT_TRUE(fs->for_each_child(big, [&](std::string_view n, bool) {
                  all.emplace_back(n);
                  return true;
                }).ok());
  EXPECT_EQ(all, kept);
  EXPECT_EQ(kind_of(fs->touch("/big/entry-3")), IoErrorKind::ResourceAlreadyExists);
  EXPECT_TRUE(fs->rm("/big", true).ok());
  EXPECT_EQ(fs->inodes().size(), 1u);
}

TEST(FsNamespace, DirectoryShrinkingBackBelowTheInlineLimit) {
  auto fs = FileSystem::create();
  auto name = [](int i) { return std::string("f").append(std::to_string(i)); };
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(fs->touch(name(i)).ok());
  for (int i = 0; i < 38; ++i) ASSERT_TRUE(fs->rm(name(i), false).ok());
  EXPECT_EQ(fs->ls_raw(kRootId)->files, (Names{"f38", "f39"}));
  EXPECT_EQ(kind_of(fs->touch("f39")), IoErrorKind::ResourceAlreadyExists);
  ASSERT_TRUE(fs->touch("f0").ok());
  EXPECT_EQ(fs->ls_raw(kRootId)->files, (Names{"f38", "f39", "f0"}));
}

// A directory of a million entries: the name index grows, probes through
// long runs and squeezes out holes, and every name must still find exactly
// its own node.
TEST(FsNamespace, MillionEntryDirectoryStaysExactUnderRandomCreateAndRemove) {
  constexpr std::uint32_t kNames = 1'200'000;
  constexpr std::uint32_t kFilled = 1'000'000;
  auto fs = FileSystem::create();
  const InodeId dir = *fs->create_inode(kRootId, "d", NodeType::Directory);
  std::vector<InodeId> model(kNames, 0);  // name number -> id, 0 when absent
  std::size_t live = 0;
  auto name_of = [](std::uint32_t i) { return "entry" + std::to_string(i); };
  auto create = [&](std::uint32_t i) {
    auto id = fs->create_inode(dir, name_of(i), NodeType::File);
    ASSERT_TRUE(id) << i;
    model[i] = *id;
    ++live;
  };
  for (std::uint32_t i = 0; i < kFilled; ++i) create(i);
  std::mt19937 rng(8);
  for (int step = 0; step < 600'000; ++step) {
    const std::uint32_t i = static_cast<std::uint32_t>(rng() % kNames);
    if (model[i] != 0) {
      auto again = fs->create_inode(dir, name_of(i), NodeType::File);
      ASSERT_FALSE(again) << i;
      ASSERT_EQ(again.error().kind(), IoErrorKind::ResourceAlreadyExists);
      ASSERT_TRUE(fs->rm_raw(model[i], false)) << i;
      model[i] = 0;
      --live;
    } else {
      create(i);
    }
    const std::uint32_t probe = static_cast<std::uint32_t>(rng() % kNames);
    auto found = fs->find_inode_by_name(dir, name_of(probe));
    if (model[probe] != 0) {
      ASSERT_TRUE(found) << probe;
      ASSERT_EQ(*found, model[probe]) << probe;
    } else {
      ASSERT_FALSE(found) << probe;
    }
  }
  auto listing = fs->ls_raw(dir);
  ASSERT_TRUE(listing);
  ASSERT_EQ(listing->files.size(), live);
  for (std::uint32_t i = 0; i < kNames; ++i) {
    auto found = fs->find_inode_by_name(dir, name_of(i));
    ASSERT_EQ(found ? *found : 0, model[i]) << i;
  }
}

}  // namespace
}  // namespace moxtile
