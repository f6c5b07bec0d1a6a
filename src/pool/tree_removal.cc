#include "pool/tree_removal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "pool/unique_fd.h"

namespace moxtile {
namespace {

// A directory being emptied: its descriptor, its name in the directory one
// level up, and the entries read from it that are still to be removed.
struct Frame {
  UniqueFd fd;
  std::string name;
  std::vector<std::string> pending;
};

// An entry that changes type under us is looked at again this many times.
constexpr int kAttemptsPerEntry = 8;

// Reads the names in `fd` (without "." and "..") into `names`. Returns 0 or errno.
int list_names(int fd, std::vector<std::string>& names) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return errno;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    int e = errno;
    ::close(copy);
    return e;
  }
  ::rewinddir(dir);  // the copy shares its offset with `fd`, which an earlier pass moved
  int result = 0;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      result = errno;
      break;
    }
    const char* n = entry->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    names.emplace_back(n);
  }
  ::closedir(dir);
  return result;
}

// Unlinks `name` in `dir_fd`, or, if it is a directory, opens it and pushes
// it on `stack` for the caller to empty. Returns 0 or errno.
int remove_or_descend(int dir_fd, std::string name, std::vector<Frame>& stack) {
  for (int attempt = 0; attempt < kAttemptsPerEntry; ++attempt) {
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISDIR(st.st_mode)) {
      if (::unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
      if (errno == EISDIR) continue;  // became a directory meanwhile
      return errno;
    }
    int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return 0;
      if (errno == ELOOP || errno == ENOTDIR) continue;  // swapped for a link or a file
      return errno;
    }
    stack.push_back(Frame{UniqueFd(fd), std::move(name), {}});
    return 0;
  }
  return EAGAIN;
}

}  // namespace

int remove_tree_at(int dir_fd, const std::string& name) {
  std::vector<Frame> stack;  // one open directory per level below `name`
  if (int e = remove_or_descend(dir_fd, name, stack); e != 0) return e;

  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.pending.empty()) {
      if (int e = list_names(top.fd.get(), top.pending); e != 0) return e;
      if (top.pending.empty()) {
        // Empty now: remove it from the level above. AT_REMOVEDIR never follows a link.
        int parent_fd = stack.size() >= 2 ? stack[stack.size() - 2].fd.get() : dir_fd;
        std::string dir_name = std::move(top.name);
        stack.pop_back();
        if (::unlinkat(parent_fd, dir_name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
          return errno;
        }
        continue;
      }
    }
    std::string entry = std::move(top.pending.back());
    top.pending.pop_back();
    // May push onto `stack`, which invalidates `top`.
    if (int e = remove_or_descend(top.fd.get(), std::move(entry), stack); e != 0) return e;
  }
  return 0;
}

}  // namespace moxtile
