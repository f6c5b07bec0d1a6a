// File handles: mode parsing, the per-file lock, reads, writes, seeks, close,
// the check order and the rendering.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/panic.h"
#include "fs/file_handle.h"
#include "fs/file_system.h"
#include "fs/inode.h"

namespace moxtile {

// Reaches the flag of a FileLock, to set states the protocol never reaches.
class FileLockTestPeer {
 public:
  static void set(FileLock& lock, std::int64_t flag) { lock.flag_.store(flag); }
};

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

class FsFileHandle : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fs_->touch("/f").ok()); }

  IoResult<FileHandle> open_f(std::string_view mode) {
    return open(fs_, "/f", *FileHandleType::from_str(mode), false);
  }
  std::int64_t flag() { return fs_->inodes().get(1)->file_lock().load(); }
  Bytes contents() {
    auto bytes = fs_->inodes().get(1)->file_data().bytes();
    return Bytes(bytes.begin(), bytes.end());
  }

  std::shared_ptr<FileSystem> fs_ = FileSystem::create();
};

TEST(FsFileHandleType, ModeTexts) {
  const std::pair<const char*, std::uint32_t> accepted[] = {{"", FileHandleType::kEmpty},
                                                            {"r", FileHandleType::kRead},
                                                            {"w", FileHandleType::kWrite},
                                                            {"rw", 3},
                                                            {"wr", 3}};
  for (const auto& [mode, bits] : accepted) {
    auto type = FileHandleType::from_str(mode);
    ASSERT_TRUE(type.ok()) << mode;
    EXPECT_EQ(type->bits(), bits) << mode;
  }
  for (const char* mode : {"rr", "ww", "R", "W", "a", "r+", "rb", "rwr", " r", "x"}) {
    auto type = FileHandleType::from_str(mode);
    ASSERT_FALSE(type.ok()) << mode;
    EXPECT_EQ(type.error().kind(), IoErrorKind::UnrecognizedFileMode) << mode;
  }
}

TEST(FsFileHandleType, Rendering) {
  const std::pair<std::uint32_t, const char*> cases[] = {{0, "FileHandleType(0x0)"},
                                                         {1, "FileHandleType(READ)"},
                                                         {2, "FileHandleType(WRITE)"},
                                                         {3, "FileHandleType(READ | WRITE)"},
                                                         {5, "FileHandleType(READ | 0x4)"}};
  for (const auto& [bits, text] : cases) {
    std::string out;
    FileHandleType(bits).append_debug(out);
    EXPECT_EQ(out, text);
  }
}

TEST_F(FsFileHandle, ReadersAndWritersExcludeEachOther) {
  auto r1 = open_f("r");
  auto r2 = open_f("r");
  ASSERT_TRUE(r1.ok() && r2.ok());
  EXPECT_EQ(flag(), 2);
  EXPECT_EQ(open_f("w").error().kind(), IoErrorKind::ResourceCurrentInUse);
  ASSERT_TRUE(r1->close().ok());
  EXPECT_EQ(open_f("rw").error().kind(), IoErrorKind::ResourceCurrentInUse);
  ASSERT_TRUE(r2->close().ok());
  EXPECT_EQ(flag(), 0);
  auto w = open_f("w");
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(flag(), FileLock::kWriteExclusive);
  for (const char* mode : {"", "r", "w", "rw"}) {
    EXPECT_EQ(open_f(mode).error().kind(), IoErrorKind::ResourceCurrentInUse) << mode;
  }
  ASSERT_TRUE(w->close().ok());
  auto rw = open_f("rw");
  ASSERT_TRUE(rw.ok());
  for (const char* mode : {"", "r", "wr"}) {
    EXPECT_EQ(open_f(mode).error().kind(), IoErrorKind::ResourceCurrentInUse) << mode;
  }
}

TEST_F(FsFileHandle, EmptyModeCountsAsAReader) {
  auto h = open_f("");
  ASSERT_TRUE(h.ok());
  std::uint8_t buf[4];
  EXPECT_EQ(h->read(buf).error(), IoError::operation_not_supported("read"));
  EXPECT_EQ(h->write(bytes_of("x")).error(), IoError::operation_not_supported("write"));
  EXPECT_EQ(h->read(buf).error().message(), "File does not support the specified operation: read");
  EXPECT_TRUE(h->seek(SeekOrigin::End, 0).ok());
  EXPECT_EQ(open_f("w").error().kind(), IoErrorKind::ResourceCurrentInUse);
  EXPECT_EQ(fs_->rm("/f", false).error().kind(), IoErrorKind::ResourceCurrentInUse);
  EXPECT_TRUE(open_f("r").ok());
  EXPECT_TRUE(h->close().ok());
  EXPECT_EQ(flag(), 0);
}

TEST_F(FsFileHandle, AWriteDoesNotMoveThePosition) {
  auto h = open_f("rw");
  EXPECT_EQ(*h->write(bytes_of("hello")), 5u);
  EXPECT_EQ(*h->write(bytes_of("XY")), 2u);
  EXPECT_EQ(contents(), bytes_of("XYllo"));
  EXPECT_EQ(h->offset(), 0u);
  std::uint8_t buf[3];
  EXPECT_EQ(*h->read(buf), 3u);
  EXPECT_EQ(Bytes(buf, buf + 3), bytes_of("XYl"));
  EXPECT_EQ(h->offset(), 3u);
  // Writing at the position that far overwrites and extends.
  EXPECT_EQ(*h->write(bytes_of("LOWORLD")), 7u);
  EXPECT_EQ(contents(), bytes_of("XYlLOWORLD"));
}

TEST_F(FsFileHandle, SeekArithmetic) {
  auto h = open_f("rw");
  ASSERT_TRUE(h->write(bytes_of("abc")).ok());
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  struct Step {
    SeekOrigin origin;
    std::uint64_t amount;
    std::uint64_t expected;
  };
  const Step steps[] = {
      {SeekOrigin::Start, 10, 3},     {SeekOrigin::End, 0, 3},   {SeekOrigin::End, 5, 0},
      {SeekOrigin::Current, kMax, 3}, {SeekOrigin::Start, 1, 1}, {SeekOrigin::Current, 1, 2},
      {SeekOrigin::End, 3, 0},        {SeekOrigin::End, 1, 2},   {SeekOrigin::Start, kMax, 3},
  };
  for (const Step& s : steps) {
    ASSERT_TRUE(h->seek(s.origin, s.amount).ok());
    EXPECT_EQ(h->offset(), s.expected);
  }
  EXPECT_EQ(contents().size(), 3u);  // a seek never grows the file
}

TEST_F(FsFileHandle, ReadsAtTheEndAndIntoEmptyBuffers) {
  auto w = open_f("w");
  ASSERT_TRUE(w->write(bytes_of("xyz")).ok());
  ASSERT_TRUE(w->close().ok());
  auto h = open_f("r");
  std::uint8_t none[1];
  EXPECT_EQ(*h->read(std::span<std::uint8_t>(none, 0)), 0u);
  EXPECT_EQ(h->offset(), 0u);
  std::uint8_t buf[8];
  EXPECT_EQ(*h->read(buf), 3u);
  EXPECT_EQ(*h->read(buf), 0u);
  EXPECT_EQ(h->offset(), 3u);
}

TEST_F(FsFileHandle, LargeFilesBehaveLikeSmallOnes) {
  auto h = open_f("rw");
  Bytes expected;
  // Appends that cross the inline size and several growth steps, each
  // written at the end after a seek.
  for (int round = 0; round < 40; ++round) {
    Bytes chunk(static_cast<std::size_t>(round * 7 + 1));
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>(round + i);
    ASSERT_TRUE(h->seek(SeekOrigin::End, 0).ok());
    ASSERT_EQ(*h->write(chunk), chunk.size());
    expected.insert(expected.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ(contents(), expected);
  ASSERT_TRUE(h->seek(SeekOrigin::Start, 30).ok());
  ASSERT_TRUE(h->write(bytes_of("0123456789")).ok());  // straddles byte 32
  std::copy_n(bytes_of("0123456789").begin(), 10, expected.begin() + 30);
  Bytes back(expected.size() + 5);
  ASSERT_TRUE(h->seek(SeekOrigin::Start, 0).ok());
  EXPECT_EQ(*h->read(back), expected.size());
  back.resize(expected.size());
  EXPECT_EQ(back, expected);
}

// Big files move from malloc'ed to mapped blocks on the way; contents and
// positions must survive each move, including overwrites across the seams.
TEST_F(FsFileHandle, MultiMegabyteFilesKeepEveryByte) {
  auto h = open_f("rw");
  Bytes expected;
  std::uint32_t seed = 1;
  for (std::size_t chunk_size : {std::size_t{100}, std::size_t{700000}, std::size_t{1} << 20,
                                 std::size_t{3} << 20, std::size_t{12345}}) {
    Bytes chunk(chunk_size);
    for (auto& b : chunk) b = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    ASSERT_TRUE(h->seek(SeekOrigin::End, 0).ok());
    ASSERT_EQ(*h->write(chunk), chunk_size);
    expected.insert(expected.end(), chunk.begin(), chunk.end());
  }
  // Overwrite across the 2 MiB mark.
  const std::size_t at = (std::size_t{2} << 20) - 3;
  ASSERT_TRUE(h->seek(SeekOrigin::Start, at).ok());
  ASSERT_TRUE(h->write(bytes_of("seam!")).ok());
  std::copy_n(bytes_of("seam!").begin(), 5, expected.begin() + static_cast<std::ptrdiff_t>(at));
  EXPECT_EQ(contents(), expected);
  ASSERT_TRUE(h->seek(SeekOrigin::End, 10).ok());
  Bytes tail(20);
  EXPECT_EQ(*h->read(tail), 10u);
  EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 10, expected.end() - 10));
}

TEST_F(FsFileHandle, ClosedHandlesRefuseEverything) {
  auto h = open_f("");
  ASSERT_TRUE(h->close().ok());
  std::uint8_t buf[2];
  EXPECT_EQ(h->close().error().kind(), IoErrorKind::InvalidFileDescriptor);
  // The closed check comes before the access check.
  EXPECT_EQ(h->read(buf).error().kind(), IoErrorKind::InvalidFileDescriptor);
  EXPECT_EQ(h->write(bytes_of("a")).error().kind(), IoErrorKind::InvalidFileDescriptor);
  EXPECT_EQ(h->seek(SeekOrigin::Start, 0).error().kind(), IoErrorKind::InvalidFileDescriptor);
  EXPECT_FALSE(h->id().has_value());
}

TEST_F(FsFileHandle, DestroyingAnOpenHandleReleasesTheFile) {
  {
    auto w = open_f("w");
  }
  EXPECT_EQ(flag(), 0);
  auto w2 = open_f("w");
  ASSERT_TRUE(w2.ok());
  FileHandle moved = std::move(*w2);
  EXPECT_FALSE(w2->is_open());
  EXPECT_TRUE(moved.is_open());
  moved = open(fs_, "/g", FileHandleType(FileHandleType::kRead), true).value();
  EXPECT_EQ(flag(), 0);  // assignment closed the writer it replaced
}

TEST_F(FsFileHandle, BrokenLockProtocolPanicsAndLeavesTheHandleOpen) {
  auto w = open_f("w");
  auto r = open(fs_, "/g", FileHandleType(FileHandleType::kRead), true);
  FileLockTestPeer::set(fs_->inodes().get(1)->file_lock(), 3);
  FileLockTestPeer::set(fs_->inodes().get(2)->file_lock(), 0);
  try {
    (void)w->close();
    FAIL() << "no panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(
        p.what(),
        "assertion failed: self.flag.load(Ordering::Acquire) == FileLock::WRITE_EXCLUSIVE");
  }
  try {
    (void)r->close();
    FAIL() << "no panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "assertion failed: flag > 0");
  }
  EXPECT_TRUE(w->is_open());
  EXPECT_TRUE(r->is_open());
  FileLockTestPeer::set(fs_->inodes().get(1)->file_lock(), FileLock::kWriteExclusive);
  FileLockTestPeer::set(fs_->inodes().get(2)->file_lock(), 1);
}

TEST_F(FsFileHandle, Rendering) {
  auto h = open_f("rw");
  EXPECT_EQ(h->debug_string(),
            "FileHandle { id: Some(1), type: FileHandleType(READ | WRITE), fs: FileSystem { "
            "inodes: {0: INode { id: 0, parent: 0, depth: 0, name: \"\", data: RwLock { data: "
            "Directory { children: [1] }, poisoned: false, .. } }, 1: INode { id: 1, parent: 0, "
            "depth: 1, name: \"f\", data: RwLock { data: File { data: FileData { data: [] }, "
            "lock: FileLock { flag: -1 } }, poisoned: false, .. } }}, next_inode_id: 2 }, "
            "offset: 0 }");
  ASSERT_TRUE(h->write(bytes_of("ab")).ok());
  ASSERT_TRUE(h->seek(SeekOrigin::End, 0).ok());
  ASSERT_TRUE(h->close().ok());
  EXPECT_EQ(h->debug_string(), "FileHandle { id: None, type: FileHandleType(READ | WRITE), fs: " +
                                   fs_->debug_string() + ", offset: 2 }");
  auto e = open_f("");
  EXPECT_NE(e->debug_string().find("type: FileHandleType(0x0)"), std::string::npos);
}

}  // namespace
}  // namespace moxtile
