// Node model: ids, creation rules and their precedence, release, symlinks,
// and the one-line rendering.
#include <gtest/gtest.h>

#include <string>

#include "fs/file_handle.h"
#include "fs/file_system.h"
#include "fs/inode.h"

namespace moxtile {
namespace {

IoErrorKind kind_of(const IoResult<InodeId>& r) { return r.error().kind(); }

// Builds a chain of directories below the root until `depth` is reached;
// returns the id of the deepest one.
InodeId make_chain(FileSystem& fs, std::size_t depth) {
  InodeId id = kRootId;
  for (std::size_t d = 1; d <= depth; ++d) {
    auto made = fs.create_inode(id, "d", NodeType::Directory);
    EXPECT_TRUE(made.ok());
    id = *made;
  }
  return id;
}

TEST(FsNodeModel, NewFilesystemHoldsOnlyTheRoot) {
  auto fs = FileSystem::create();
  EXPECT_EQ(fs->next_inode_id(), 1u);
  EXPECT_EQ(fs->inodes().size(), 1u);
  NodeRef root = fs->inodes().get(kRootId);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->parent(), kRootId);
  EXPECT_EQ(root->depth(), 0u);
  EXPECT_EQ(root->name(), "");
  EXPECT_TRUE(root->is_directory());
  EXPECT_TRUE(root->children().empty());
  EXPECT_EQ(*fs->create_inode(kRootId, "a", NodeType::File), 1u);
}

TEST(FsNodeModel, BadNamesSpendNoId) {
  auto fs = FileSystem::create();
  for (std::string_view name : {"", ".", "..", "a/b", "a\\b", "/", "\\"}) {
    auto r = fs->create_inode(kRootId, name, NodeType::Directory);
    ASSERT_FALSE(r.ok()) << name;
    EXPECT_EQ(kind_of(r), IoErrorKind::ResourceAlreadyExists) << name;
  }
  EXPECT_EQ(fs->next_inode_id(), 1u);
  // Dots inside a longer name are ordinary characters.
  EXPECT_TRUE(fs->create_inode(kRootId, "...", NodeType::File).ok());
  EXPECT_TRUE(fs->create_inode(kRootId, ".hidden", NodeType::File).ok());
}

TEST(FsNodeModel, LaterFailuresSpendAnId) {
  auto fs = FileSystem::create();
  InodeId file = *fs->create_inode(kRootId, "f", NodeType::File);  // 1
  struct Case {
    InodeId parent;
    const char* name;
    IoErrorKind expected;
  };
  const Case cases[] = {
      {99, "x", IoErrorKind::InodeNotFound},               // parent missing: id 2
      {kRootId, "f", IoErrorKind::ResourceAlreadyExists},  // name taken: id 3
      {file, "x", IoErrorKind::NotADirectory},             // parent is a file: id 4
  };
  InodeId spent = 2;
  for (const Case& c : cases) {
    auto r = fs->create_inode(c.parent, c.name, NodeType::File);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(kind_of(r), c.expected);
    EXPECT_EQ(fs->next_inode_id(), ++spent);
  }
  EXPECT_EQ(*fs->create_inode(kRootId, "g", NodeType::File), 5u);
}

TEST(FsNodeModel, IdsOfRemovedNodesAreNeverReused) {
  auto fs = FileSystem::create();
  EXPECT_EQ(*fs->create_inode(kRootId, "a", NodeType::Directory), 1u);
  EXPECT_EQ(*fs->create_inode(kRootId, "b", NodeType::File), 2u);
  ASSERT_TRUE(fs->rm_raw(2, false).ok());
  EXPECT_EQ(*fs->create_inode(kRootId, "b", NodeType::File), 3u);
}

TEST(FsNodeModel, ExistingNameRefusedWhateverItsKind) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->create_inode(kRootId, "d", NodeType::Directory).ok());
  ASSERT_TRUE(fs->create_inode(kRootId, "f", NodeType::File).ok());
  for (const char* name : {"d", "f"}) {
    for (NodeType type : {NodeType::File, NodeType::Directory}) {
      auto r = fs->create_inode(kRootId, name, type);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(kind_of(r), IoErrorKind::ResourceAlreadyExists);
    }
  }
}

TEST(FsNodeModel, DepthLimit) {
  auto fs = FileSystem::create();
  InodeId at63 = make_chain(*fs, 63);
  auto at64 = fs->create_inode(at63, "x", NodeType::Directory);
  ASSERT_TRUE(at64.ok());
  EXPECT_EQ(fs->inodes().get(*at64)->depth(), 64u);
  auto too_deep = fs->create_inode(*at64, "y", NodeType::File);
  ASSERT_FALSE(too_deep.ok());
  EXPECT_EQ(kind_of(too_deep), IoErrorKind::MaxRecursionDepthExceeded);

  // An existing name beats the depth; the depth beats "not a directory".
  ASSERT_TRUE(fs->create_inode(at63, "f", NodeType::File).ok());
  auto taken = fs->create_inode(at63, "x", NodeType::File);
  EXPECT_EQ(kind_of(taken), IoErrorKind::ResourceAlreadyExists);
  InodeId file64 = *fs->create_inode(at63, "g", NodeType::File);
  EXPECT_EQ(fs->inodes().get(file64)->depth(), 64u);
  auto below_file = fs->create_inode(file64, "z", NodeType::File);
  EXPECT_EQ(kind_of(below_file), IoErrorKind::MaxRecursionDepthExceeded);
  // A file at depth 63 gives NotADirectory.
  InodeId file63 = *fs->create_inode(fs->inodes().get(at63)->parent(), "h", NodeType::File);
  EXPECT_EQ(kind_of(fs->create_inode(file63, "z", NodeType::File)), IoErrorKind::NotADirectory);
}

TEST(FsNodeModel, KindQueries) {
  auto fs = FileSystem::create();
  InodeId d = *fs->create_inode(kRootId, "d", NodeType::Directory);
  InodeId f = *fs->create_inode(kRootId, "f", NodeType::File);
  EXPECT_FALSE(*fs->is_file_raw(d));
  EXPECT_TRUE(*fs->is_directory_raw(d));
  EXPECT_TRUE(*fs->is_file_raw(f));
  EXPECT_FALSE(*fs->is_directory_raw(f));
  EXPECT_EQ(fs->is_file_raw(42).error().kind(), IoErrorKind::InodeNotFound);
  EXPECT_EQ(fs->is_directory_raw(42).error().kind(), IoErrorKind::InodeNotFound);
}

TEST(FsNodeModel, ReleaseOfAnAbsentIdDoesNothing) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->create_inode(kRootId, "a", NodeType::File).ok());
  fs->release_inode_id(77);
  EXPECT_EQ(fs->inodes().size(), 2u);
  fs->release_inode_id(1);
  EXPECT_EQ(fs->inodes().size(), 1u);
  EXPECT_EQ(fs->get_inode_raw(1).error().kind(), IoErrorKind::InodeNotFound);
}

TEST(FsNodeModel, SymlinksAreFollowed) {
  auto fs = FileSystem::create();
  InodeId d = *fs->create_inode(kRootId, "d", NodeType::Directory);
  InodeId f = *fs->create_inode(d, "f", NodeType::File);
  InodeId to_d = *fs->create_inode(kRootId, "ld", NodeType::Symlink, d);
  InodeId to_link = *fs->create_inode(kRootId, "ll", NodeType::Symlink, to_d);
  InodeId dangling = *fs->create_inode(kRootId, "dl", NodeType::Symlink, 999);

  EXPECT_EQ(*fs->get_inode_raw(to_d), d);
  EXPECT_EQ(*fs->get_inode_raw(to_link), d);
  EXPECT_EQ(fs->get_inode_raw(dangling).error().kind(), IoErrorKind::InodeNotFound);
  EXPECT_EQ(*fs->get_inode_by_path_raw("/ll/f"), f);
  EXPECT_EQ(*fs->get_inode_by_path_raw("/ld/f/.."), d);
  EXPECT_TRUE(*fs->is_directory_raw(to_link));
  // Listed under its own name, as a non-directory.
  auto listing = fs->ls_raw(kRootId);
  EXPECT_EQ(listing->files, (std::vector<std::string>{"ld", "ll", "dl"}));
  EXPECT_EQ(listing->directories, (std::vector<std::string>{"d"}));
  // Creating through a link puts the node into the real directory.
  InodeId g = *fs->create_inode(to_d, "g", NodeType::File);
  EXPECT_EQ(*fs->get_path_by_inode(g), "/d/g");
  // Opening through a link opens the file; the handle shows the given id.
  InodeId to_f = *fs->create_inode(kRootId, "lf", NodeType::Symlink, f);
  auto handle = FileHandle::open_by_id(fs, to_f, FileHandleType(FileHandleType::kWrite));
  ASSERT_TRUE(handle.ok());
  EXPECT_EQ(*handle->id(), to_f);
  EXPECT_EQ(fs->inodes().get(f)->file_lock().load(), FileLock::kWriteExclusive);
}

TEST(FsNodeModel, SymlinkCyclesEndInNotFound) {
  auto fs = FileSystem::create();
  // Ids are predictable: the link made as 1 points at 2 and the other back at 1.
  ASSERT_EQ(*fs->create_inode(kRootId, "a", NodeType::Symlink, 2), 1u);
  ASSERT_EQ(*fs->create_inode(kRootId, "b", NodeType::Symlink, 1), 2u);
  EXPECT_EQ(fs->get_inode_raw(1).error().kind(), IoErrorKind::InodeNotFound);
  EXPECT_EQ(fs->get_inode_by_path_raw("/a").error().kind(), IoErrorKind::InodeNotFound);
}

TEST(FsNodeModel, RenderingOfTheRootAndAFile) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->mkdir("d").ok());
  ASSERT_TRUE(fs->touch("/d/f").ok());
  std::string root;
  fs->inodes().get(0)->append_debug(root);
  EXPECT_EQ(root,
            "INode { id: 0, parent: 0, depth: 0, name: \"\", data: RwLock { data: Directory { "
            "children: [1] }, poisoned: false, .. } }");
  std::string file;
  fs->inodes().get(2)->append_debug(file);
  EXPECT_EQ(file,
            "INode { id: 2, parent: 1, depth: 2, name: \"f\", data: RwLock { data: File { data: "
            "FileData { data: [] }, lock: FileLock { flag: 0 } }, poisoned: false, .. } }");
  std::string whole = fs->debug_string();
  EXPECT_EQ(whole.rfind("FileSystem { inodes: {", 0), 0u);
  EXPECT_NE(whole.find("0: " + root), std::string::npos);
  EXPECT_NE(whole.find("2: " + file), std::string::npos);
  EXPECT_NE(whole.find("1: INode { id: 1, parent: 0, depth: 1, name: \"d\""), std::string::npos);
  EXPECT_TRUE(whole.ends_with("}, next_inode_id: 3 }")) << whole;
}

TEST(FsNodeModel, RenderingOfContentsFlagsLinksAndLockedNodes) {
  auto fs = FileSystem::create();
  auto h = open(fs, "f", FileHandleType(FileHandleType::kWrite), true);
  ASSERT_TRUE(h.ok());
  const std::uint8_t bytes[] = {104, 0, 255};
  ASSERT_TRUE(h->write(bytes).ok());
  ASSERT_TRUE(fs->create_inode(kRootId, "l", NodeType::Symlink, 1).ok());
  NodeRef file = fs->inodes().get(1);
  std::string text;
  file->append_debug(text);
  EXPECT_NE(
      text.find("File { data: FileData { data: [104, 0, 255] }, lock: FileLock { flag: -1 } }"),
      std::string::npos)
      << text;
  text.clear();
  fs->inodes().get(2)->append_debug(text);
  EXPECT_NE(text.find("data: RwLock { data: Symlink { target: 1 }, poisoned"), std::string::npos);
  file->lock().lock();
  text.clear();
  file->append_debug(text);
  file->lock().unlock();
  EXPECT_TRUE(text.ends_with("data: RwLock { data: <locked>, poisoned: false, .. } }")) << text;
}

TEST(FsNodeModel, RenderedNamesAreEscaped) {
  auto fs = FileSystem::create();
  // (A backslash cannot be part of a name, so it is not among them.)
  ASSERT_TRUE(fs->touch("q\"b\nt\tr\rc\x01\x1f\x7f"
                        "\xc3\xa9")
                  .ok());
  std::string text;
  fs->inodes().get(1)->append_debug(text);
  EXPECT_NE(text.find(R"(name: "q\"b\nt\tr\rc\u{1}\u{1f}\u{7f})"
                      "\xc3\xa9\""),
            std::string::npos)
      << text;
}

TEST(FsNodeModel, LongNamesAndManyChildrenKeepTheirBytes) {
  auto fs = FileSystem::create();
  const std::string names[] = {std::string(24, 'a'), std::string(25, 'b'), std::string(300, 'c'),
                               std::string("n\0l", 3)};
  for (const std::string& name : names) ASSERT_TRUE(fs->create_inode(0, name, NodeType::File).ok());
  for (const std::string& name : names) {
    auto id = fs->find_inode_by_name(kRootId, name);
    ASSERT_TRUE(id.ok());
    EXPECT_EQ(fs->inodes().get(*id)->name(), name);
  }
}

}  // namespace
}  // namespace moxtile
