#include "pool/home_directory.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "pool/system_error.h"
#include "pool/tree_removal.h"
#include "pool/unique_fd.h"
#include "base/utf8_lossy.h"

namespace moxtile {
namespace {

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

}  // namespace

PoolResult<std::string> prepare_home(const std::string& root, const std::string& username,
                                     std::uint32_t uid) {
  const std::string path = root + "/" + username;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return pool_error("Failed to get the parent folder of the path");
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = path.substr(slash + 1);

  if (create_dir_all(parent) != 0) {
    return pool_error("Failed to create the parent folder of the temporary home directory");
  }

  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {  // follows a link at the home path itself
    UniqueFd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent_fd || remove_tree_at(parent_fd.get(), name) != 0) {
      return pool_error("Failed to remove the existing temporary home directory");
    }
  }

  if (::mkdir(path.c_str(), 0777) != 0) {
    return pool_error("Failed to create the temporary home directory");
  }

  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
  if (!resolved) return pool_error("Failed to canonicalize the path: " + system_error_text(errno));
  std::string canonical(resolved.get());
  if (!is_valid_utf8(canonical)) {
    return pool_error("Failed to convert the path to a valid utf-8 string");
  }

  if (::chown(canonical.c_str(), uid, uid) != 0) {
    return pool_error("Failed to change the ownership of the home directory: " +
                      system_error_text(errno));
  }
  return canonical;
}

}  // namespace moxtile
