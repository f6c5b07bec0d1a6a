// Many threads on one filesystem, then a walk over the whole table checking
// that the tree is still consistent: every node listed exactly once in a
// directory parent, unique names, no orphans, all file locks free.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/panic.h"
#include "fs/file_handle.h"
#include "fs/file_system.h"
#include "fs/inode.h"

namespace moxtile {
namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr auto kRunTime = std::chrono::milliseconds(800);
#else
constexpr auto kRunTime = std::chrono::milliseconds(2000);
#endif
constexpr int kThreads = 8;

// Collects unexpected outcomes from worker threads.
class Problems {
 public:
  void add(std::string what) {
    std::lock_guard<std::mutex> lock(mu_);
    if (list_.size() < 20) list_.push_back(std::move(what));
    ++count_;
  }
  void expect_none() {
    std::lock_guard<std::mutex> lock(mu_);
    EXPECT_EQ(count_, 0u);
    for (const auto& p : list_) ADD_FAILURE() << p;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> list_;
  std::size_t count_ = 0;
};

bool is_one_of(IoErrorKind kind, std::initializer_list<IoErrorKind> allowed) {
  for (IoErrorKind k : allowed) {
    if (k == kind) return true;
  }
  return false;
}

// Walks the table and checks every structural invariant; returns the number
// of nodes reachable from the root.
void check_consistent(const FileSystem& fs) {
  std::map<InodeId, NodeRef> nodes;
  fs.inodes().for_each([&](const NodeRef& node) {
    EXPECT_TRUE(nodes.emplace(node->id(), node).second) << "id twice in the table: " << node->id();
  });
  ASSERT_TRUE(nodes.count(kRootId));
  std::map<InodeId, int> listed;  // times each id appears in some child list
  for (const auto& [id, node] : nodes) {
    if (node->is_file()) {
      EXPECT_EQ(node->file_lock().load(), 0) << "flag left set on " << id;
    }
    if (!node->is_directory()) continue;
    EXPECT_FALSE(node->going()) << "directory " << id << " still in the table but going";
    std::set<std::string, std::less<>> names;
    node->children().for_each([&](INode* child) {
      ++listed[child->id()];
      EXPECT_TRUE(names.emplace(child->name()).second) << "name twice in " << id;
      EXPECT_EQ(child->parent(), id);
      EXPECT_EQ(child->depth(), node->depth() + 1);
      EXPECT_TRUE(nodes.count(child->id())) << "listed child " << child->id() << " not in table";
      EXPECT_EQ(node->children().find(child->name()), child);
      return true;
    });
    EXPECT_EQ(names.size(), node->children().size());
  }
  for (const auto& [id, node] : nodes) {
    if (id == kRootId) continue;
    EXPECT_EQ(listed[id], 1) << "node " << id << " (" << node->name() << ") listed " << listed[id]
                             << " times";
    auto parent = nodes.find(node->parent());
    ASSERT_NE(parent, nodes.end()) << "parent of " << id << " missing";
    EXPECT_TRUE(parent->second->is_directory());
  }
  // Everything in the table is reachable from the root.
  std::size_t reachable = 0;
  std::vector<const INode*> stack{nodes.at(kRootId).get()};
  while (!stack.empty()) {
    const INode* node = stack.back();
    stack.pop_back();
    ++reachable;
    if (node->is_directory()) {
      node->children().for_each([&](INode* child) {
        stack.push_back(child);
        return true;
      });
    }
  }
  EXPECT_EQ(reachable, nodes.size()) << "orphans in the table";
  EXPECT_EQ(fs.inodes().size(), nodes.size());
}

std::string random_path(std::mt19937_64& rng) {
  static const char* const kNames[] = {"a", "b", "c", "d"};
  if (rng() % 4 == 0) return "/big/n" + std::to_string(rng() % 40);
  std::string path;
  std::size_t depth = 1 + rng() % 3;
  for (std::size_t i = 0; i < depth; ++i) {
    path += (rng() % 8 == 0) ? "\\" : "/";
    // Now and then through a link or back up, which walks take through the table.
    std::uint64_t pick = rng() % 16;
    path += pick == 0 ? ".." : pick == 1 ? "l" : kNames[pick % 4];
  }
  return path;
}

struct Worker {
  Worker(std::shared_ptr<FileSystem> filesystem, Problems& sink, std::uint64_t seed)
      : fs(std::move(filesystem)), problems(sink), rng(seed) {}

  void run(std::chrono::steady_clock::time_point until) {
    while (std::chrono::steady_clock::now() < until) {
      for (int i = 0; i < 64; ++i) step();
    }
    for (auto& h : handles) {
      if (h && !h->close()) problems.add("close at the end failed");
    }
  }

  void step() {
    std::string path = random_path(rng);
    using K = IoErrorKind;
    switch (rng() % 11) {
      case 10:
        link_one(path);
        break;
      case 0:
      case 1:
        expect(fs->mkdir(path), "mkdir",
               {K::ResourceAlreadyExists, K::InodeNotFound, K::NotADirectory});
        break;
      case 2:
      case 3:
        expect(fs->touch(path), "touch",
               {K::ResourceAlreadyExists, K::InodeNotFound, K::NotADirectory});
        break;
      case 4:
        expect(
            fs->rm(rng() % 6 == 0 ? "/big" : path, rng() % 2 == 0), "rm",
            {K::InodeNotFound, K::DirectoryIsNotEmpty, K::ResourceCurrentInUse, K::NotADirectory});
        break;
      case 5: {
        auto id = fs->get_inode_by_path_raw(path);
        if (id) {
          auto listing = fs->ls_raw(*id);
          if (!listing && listing.error().kind() != K::NotADirectory &&
              listing.error().kind() != K::InodeNotFound) {
            problems.add("ls: " + listing.error().message());
          }
          auto back = fs->get_path_by_inode(*id);
          if (!back && back.error().kind() != K::InodeNotFound) {
            problems.add("path: unexpected error");
          }
        }
        break;
      }
      case 6:
      case 7:
        open_one(path);
        break;
      default:
        use_one();
    }
    if (rng() % 5000 == 0) (void)fs->debug_string();
  }

  // Makes "l" in the directory at `path`, a link to whatever another random
  // path names at the moment (links to links, to files, to ancestors).
  void link_one(const std::string& path) {
    using K = IoErrorKind;
    auto directory = fs->get_inode_by_path_raw(path);
    auto target = fs->get_inode_by_path_raw(random_path(rng));
    if (!directory || !target) return;
    auto made = fs->create_inode(*directory, "l", NodeType::Symlink, *target);
    if (!made &&
        !is_one_of(made.error().kind(), {K::ResourceAlreadyExists, K::InodeNotFound,
                                         K::NotADirectory, K::MaxRecursionDepthExceeded})) {
      problems.add("link: " + made.error().message());
    }
  }

  void open_one(const std::string& path) {
    std::size_t slot = rng() % handles.size();
    if (handles[slot]) return;
    static const char* const kModes[] = {"", "r", "w", "rw"};
    auto h = open(fs, path, *FileHandleType::from_str(kModes[rng() % 4]), rng() % 2 == 0);
    if (h) {
      handles[slot].emplace(std::move(h).value());
    } else if (!is_one_of(
                   h.error().kind(),
                   {IoErrorKind::InodeNotFound, IoErrorKind::NotADirectory, IoErrorKind::NotAFile,
                    IoErrorKind::ResourceCurrentInUse, IoErrorKind::ResourceAlreadyExists})) {
      problems.add("open: " + h.error().message());
    }
  }

  // An open handle always finds its file: it cannot be removed meanwhile.
  void use_one() {
    std::size_t slot = rng() % handles.size();
    auto& h = handles[slot];
    if (!h) return;
    std::uint8_t buf[64];
    switch (rng() % 5) {
      case 0:
        if (h->type().can_read() && !h->read(buf)) problems.add("read failed on an open handle");
        break;
      case 1:
        if (h->type().can_write()) {
          std::size_t n = 1 + rng() % 63;
          for (std::size_t i = 0; i < n; ++i) buf[i] = static_cast<std::uint8_t>(rng());
          if (!h->write(std::span<const std::uint8_t>(buf, n))) problems.add("write failed");
        }
        break;
      case 2:
        if (!h->seek(static_cast<SeekOrigin>(rng() % 3), rng() % 80)) problems.add("seek failed");
        break;
      default:
        if (!h->close()) problems.add("close failed");
        h.reset();
    }
  }

  void expect(const IoStatus& s, const char* what, std::initializer_list<IoErrorKind> allowed) {
    if (!s && !is_one_of(s.error().kind(), allowed)) {
      problems.add(std::string(what) + ": " + s.error().message());
    }
  }

  std::shared_ptr<FileSystem> fs;
  Problems& problems;
  std::mt19937_64 rng;
  std::vector<std::optional<FileHandle>> handles = std::vector<std::optional<FileHandle>>(3);
};

TEST(FsStress, RandomOperationsKeepTheTreeConsistent) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->mkdir("/big").ok());
  Problems problems;
  auto until = std::chrono::steady_clock::now() + kRunTime;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        Worker(fs, problems, 1000 + static_cast<std::uint64_t>(t)).run(until);
      } catch (const Panic& p) {
        problems.add(std::string("panic: ") + p.what());
      }
    });
  }
  for (auto& t : threads) t.join();
  problems.expect_none();
  check_consistent(*fs);
  EXPECT_GT(fs->next_inode_id(), 100u);  // the run did real work
}

// One thread keeps creating inside a directory while another keeps removing
// and re-making it. A creation must either land in the directory that is
// listed, or fail; it must never leave a node in the table that no
// directory lists.
TEST(FsStress, CreationRacingWithRemovalLeavesNoOrphans) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->mkdir("/r").ok());
  Problems problems;
  std::atomic<bool> stop{false};
  std::atomic<long> created{0}, removed{0};
  std::thread creator([&] {
    for (long i = 0; !stop.load(std::memory_order_relaxed); ++i) {
      std::string name = "/r/n" + std::to_string(i % 16);
      IoStatus s = (i % 2 == 0) ? fs->touch(name) : fs->mkdir(name);
      if (s) {
        ++created;
      } else if (!is_one_of(s.error().kind(),
                            {IoErrorKind::InodeNotFound, IoErrorKind::ResourceAlreadyExists})) {
        problems.add("create: " + s.error().message());
      }
    }
  });
  std::thread remover([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      IoStatus s = fs->rm("/r", true);
      if (s) {
        ++removed;
      } else if (!is_one_of(s.error().kind(),
                            {IoErrorKind::DirectoryIsNotEmpty, IoErrorKind::InodeNotFound})) {
        problems.add("rm: " + s.error().message());
      }
      (void)fs->mkdir("/r");
    }
  });
  std::this_thread::sleep_for(kRunTime / 4);
  // A removal succeeds only when no creation slips in between emptying the
  // directory and taking it out; on a slow or busy machine that can take a
  // while, and the race must really have happened for the test to mean much.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((removed.load() == 0 || created.load() == 0) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop = true;
  creator.join();
  remover.join();
  problems.expect_none();
  EXPECT_GT(created.load(), 0);
  EXPECT_GT(removed.load(), 0);
  check_consistent(*fs);
}

// Handles opened and closed concurrently on one file: the flag ends at 0 and
// a removal succeeds afterwards.
TEST(FsStress, FileLockCountsStayExact) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->touch("/f").ok());
  std::atomic<long> writers_in{0};
  Problems problems;
  auto until = std::chrono::steady_clock::now() + kRunTime / 8;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      FileHandleType type(t % 4 == 0 ? FileHandleType::kWrite : FileHandleType::kRead);
      while (std::chrono::steady_clock::now() < until) {
        auto h = open_raw(fs, 1, type);
        if (!h) continue;
        if (type.can_write() && ++writers_in != 1) problems.add("two writers at once");
        if (type.can_write()) --writers_in;
        if (!h->close()) problems.add("close failed");
      }
    });
  }
  for (auto& t : threads) t.join();
  problems.expect_none();
  EXPECT_EQ(fs->inodes().get(1)->file_lock().load(), 0);
  EXPECT_TRUE(fs->rm("/f", false).ok());
}

}  // namespace
}  // namespace moxtile
