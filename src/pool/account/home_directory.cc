#include "pool/account/home_directory.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "base/utf8_lossy.h"
#include "pool/posix/system_error.h"
#include "pool/posix/tree_removal.h"
#include "pool/posix/unique_fd.h"

namespace moxtile {
namespace {

constexpr const char* kRootFailed =
    "Failed to create the parent folder of the temporary home directory";
constexpr const char* kCreateFailed = "Failed to create the temporary home directory";
constexpr int kOpenDir = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: creates `path` and its missing ancestors; an existing directory
// (or a link to one) is fine. Returns 0 or errno.
int create_dir_all(const std::string& path) {
  if (is_directory(path)) return 0;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    const std::string prefix = path.substr(0, pos);
    if (prefix.empty()) continue;
    if (::mkdir(prefix.c_str(), 0777) != 0 && !(errno == EEXIST && is_directory(prefix))) {
      return errno;
    }
  }
  return 0;
}

Unexpected<std::string> root_refused(const std::string& reason) {
  return pool_error(std::string(kRootFailed) + ": " + reason);
}

// Creates the homes root if it is missing and opens it. Anything but a
// directory of ours that no one else may write to is refused: an account that
// could change it could swap a home for a link between our steps.
PoolResult<UniqueFd> open_homes_root(const std::string& root) {
  const std::size_t slash = root.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    // The ancestors are the administrator's business (/tmp is sticky): we
    // only fill in what is missing.
    if (int e = create_dir_all(root.substr(0, slash)); e != 0) {
      return root_refused(system_error_text(e));
    }
  }
  if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
    return root_refused(system_error_text(errno));
  }
  UniqueFd fd(::open(root.c_str(), kOpenDir));
  struct stat st;
  if (!fd) {
    const int e = errno;
    if (e != ENOTDIR && e != ELOOP) return root_refused(system_error_text(e));
    const bool link = ::lstat(root.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    return root_refused(root + (link ? " is a symbolic link" : " is not a directory"));
  }
  if (::fstat(fd.get(), &st) != 0) return root_refused(system_error_text(errno));
  const uid_t us = ::geteuid();
  if (st.st_uid != us) {
    return root_refused(root + " is owned by uid " + std::to_string(st.st_uid) + ", not " +
                        (us == 0 ? std::string("root") : "uid " + std::to_string(us)));
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return root_refused(root + " is writable by group or others");
  }
  return fd;
}

}  // namespace

PoolResult<std::string> prepare_home(const std::string& root, const std::string& username,
                                     std::uint32_t uid) {
  const std::string path = root + "/" + username;
  const std::size_t slash = path.rfind('/');
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = path.substr(slash + 1);
  // "." or ".." would make us wipe the root or what holds it.
  if (name.empty() || name == "." || name == "..") {
    return pool_error("Failed to get the parent folder of the path");
  }

  auto root_fd = open_homes_root(parent);
  if (!root_fd) return pool_error(std::move(root_fd).error());
  const int at = root_fd->get();

  // From here on only relative to the checked root: no one else can change
  // its entries, so what we create there stays ours until we give it away.
  if (int e = remove_tree_at(at, name); e != 0) {
    return pool_error("Failed to remove the existing temporary home directory: " +
                      system_error_text(e));
  }
  if (::mkdirat(at, name.c_str(), 0700) != 0) {
    return pool_error(std::string(kCreateFailed) + ": " + system_error_text(errno));
  }
  UniqueFd home(::openat(at, name.c_str(), kOpenDir));  // a directory, never a link to one
  if (!home) return pool_error(std::string(kCreateFailed) + ": " + system_error_text(errno));

  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(parent.c_str(), nullptr), &::free);
  if (!resolved) return pool_error("Failed to canonicalize the path: " + system_error_text(errno));
  std::string canonical(resolved.get());
  if (canonical.back() != '/') canonical += '/';
  canonical += name;
  if (!is_valid_utf8(canonical)) {
    return pool_error("Failed to convert the path to a valid utf-8 string");
  }

  if (::fchown(home.get(), uid, uid) != 0) {
    return pool_error("Failed to change the ownership of the home directory: " +
                      system_error_text(errno));
  }
  // Explicitly, whatever the umask: other tenants must not look in.
  if (::fchmod(home.get(), 0700) != 0) {
    return pool_error("Failed to change the mode of the home directory: " +
                      system_error_text(errno));
  }
  return canonical;
}

}  // namespace moxtile
