#include "pool/posix/tree_removal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "pool/posix/directory_entries.h"
#include "pool/posix/unique_fd.h"

namespace moxtile {
namespace {

constexpr int kOpenDir = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// An entry that changes type under us is looked at again this many times.
constexpr int kAttemptsPerEntry = 8;
// A directory that is refilled while we empty it is listed at most this often.
constexpr int kListingsPerDirectory = 8;
// A tree moved under the walk is walked again from the top at most this often.
constexpr int kPasses = 8;

// What a pass returns when it found itself outside the tree.
constexpr int kMoved = -1;

struct Entry {
  std::string name;
  bool directory;  // as the listing said: only a hint, the entry may change
};

// A directory being emptied: its name one level up, its identity (to know it
// again when coming back up through ".."), and the entries of its one listing
// that are still to be removed.
struct Frame {
  std::string name;
  dev_t dev;
  ino_t ino;
  int listings;
  bool listed = false;
  std::vector<Entry> pending = {};
};

// Reads the entries of the directory `fd` (without "." and "..") into
// `entries`. Returns 0 or errno.
int list_entries(int fd, std::vector<Entry>& entries) {
  return for_each_entry(fd, [&](const dirent& entry) {
    entries.push_back(Entry{entry.d_name, entry.d_type == DT_DIR});
    return 0;
  });
}

// One pass over the tree at dir_fd/name. Holds at most two descriptors: the
// current directory, and while listing or moving, one more.
class Pass final {
 public:
  // `seen`, if given, is what the top must still be.
  Pass(int dir_fd, const std::string& name, const SeenEntry* seen)
      : dir_fd_(dir_fd), name_(name), seen_(seen) {}

  // Returns 0, an errno, or kMoved.
  int run() {
    if (int e = remove_or_enter(dir_fd_, name_, seen_ == nullptr || seen_->directory, 0); e != 0) {
      return e;
    }
    while (!stack_.empty()) {
      Frame& top = stack_.back();
      if (!top.listed) {
        top.listed = true;
        ++top.listings;
        if (int e = list_entries(cur_.get(), top.pending); e != 0) return e;
      }
      if (top.pending.empty()) {
        if (int e = leave(); e != 0) return e;
        continue;
      }
      Entry entry = std::move(top.pending.back());
      top.pending.pop_back();
      // May push onto `stack_`, which invalidates `top`.
      if (int e = remove_or_enter(cur_.get(), std::move(entry.name), entry.directory, 0); e != 0) {
        return e;
      }
    }
    return 0;
  }

 private:
  // Unlinks `name` in `parent_fd`, or, if it is a directory, makes it the
  // current one with a frame of its own. Returns 0 or errno.
  int remove_or_enter(int parent_fd, std::string name, bool directory, int listings) {
    // The top, when the caller saw it, must stay the kind it saw.
    const bool fixed = stack_.empty() && seen_ != nullptr;
    for (int attempt = 0; attempt < kAttemptsPerEntry; ++attempt, directory = !directory) {
      if (!directory) {
        if (::unlinkat(parent_fd, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
        if (errno == EISDIR) {
          if (fixed) return ESTALE;
          continue;
        }
        return errno;
      }
      UniqueFd fd(::openat(parent_fd, name.c_str(), kOpenDir));
      if (!fd) {
        if (errno == ENOENT) return 0;
        if (errno == ENOTDIR || errno == ELOOP) {  // a file or a link: unlink it
          if (fixed) return ESTALE;
          continue;
        }
        return errno;
      }
      struct stat st;
      if (::fstat(fd.get(), &st) != 0) return errno;
      if (fixed &&
          (st.st_dev != seen_->dev || st.st_ino != seen_->ino || st.st_uid != seen_->owner)) {
        return ESTALE;
      }
      if (stack_.empty()) {
        top_dev_ = st.st_dev;
      } else if (st.st_dev != top_dev_) {
        return EXDEV;
      }
      stack_.push_back(Frame{std::move(name), st.st_dev, st.st_ino, listings});
      cur_ = std::move(fd);
      return 0;
    }
    return EAGAIN;
  }

  // The current directory is empty: goes up one level and removes it there.
  // Returns 0, errno, or kMoved if ".." is not where we came from.
  int leave() {
    Frame done = std::move(stack_.back());
    stack_.pop_back();
    int parent_fd = dir_fd_;
    if (stack_.empty()) {
      cur_.reset();
    } else {
      UniqueFd parent(::openat(cur_.get(), "..", kOpenDir));
      if (!parent) return errno;
      struct stat st;
      if (::fstat(parent.get(), &st) != 0) return errno;
      // Moved out from under its parent: the names still pending up there
      // would be looked up in a directory that is not ours.
      if (st.st_dev != stack_.back().dev || st.st_ino != stack_.back().ino) return kMoved;
      cur_ = std::move(parent);
      parent_fd = cur_.get();
    }
    // AT_REMOVEDIR never follows a link and removes only an empty directory.
    if (::unlinkat(parent_fd, done.name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
    if (errno != ENOTEMPTY && errno != EEXIST) return errno;
    // Refilled meanwhile (or another directory took its name): list it again.
    if (done.listings >= kListingsPerDirectory) return ENOTEMPTY;
    return remove_or_enter(parent_fd, std::move(done.name), true, done.listings);
  }

  const int dir_fd_;
  const std::string& name_;
  const SeenEntry* const seen_;
  std::vector<Frame> stack_;  // from `name_` down to the current directory
  UniqueFd cur_;              // the directory of stack_.back()
  dev_t top_dev_ = 0;
};

int remove_tree(int dir_fd, const std::string& name, const SeenEntry* seen) {
  for (int pass = 0; pass < kPasses; ++pass) {
    int result = Pass(dir_fd, name, seen).run();
    if (result != kMoved) return result;
  }
  return EAGAIN;
}

}  // namespace

int remove_tree_at(int dir_fd, const std::string& name) {
  return remove_tree(dir_fd, name, nullptr);
}

int remove_seen_tree_at(int dir_fd, const std::string& name, const SeenEntry& seen) {
  return remove_tree(dir_fd, name, &seen);
}

}  // namespace moxtile
