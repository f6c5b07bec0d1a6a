#include "pool/account/private_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "pool/posix/system_error.h"

namespace moxtile {

PoolResult<UniqueFd> open_private_dir(const char* path, mode_t mode) {
  mode &= 07777;
  // Made narrow (the umask can only narrow it further) and widened to `mode`
  // once we know that the directory we opened is ours.
  const bool created = ::mkdir(path, 0700) == 0;
  if (!created && errno != EEXIST) {
    return pool_error(std::string("cannot create ") + path + ": " + system_error_text(errno));
  }
  UniqueFd fd(::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return pool_error(std::string("cannot open ") + path + ": " + system_error_text(errno));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    return pool_error(std::string("cannot inspect ") + path + ": " + system_error_text(errno));
  }
  if (st.st_uid != ::geteuid()) {
    return pool_error(std::string(path) + " is owned by uid " + std::to_string(st.st_uid) +
                      ", not by us");
  }
  if (created) {
    if (::fchmod(fd.get(), mode) != 0) {
      return pool_error(std::string("cannot set the mode of ") + path + ": " +
                        system_error_text(errno));
    }
    return fd;
  }
  if ((st.st_mode & 07777 & ~mode) != 0) {
    char bits[8];
    // Four octal digits always fit.
    static_cast<void>(
        std::snprintf(bits, sizeof bits, "%04o", static_cast<unsigned>(st.st_mode & 07777)));
    return pool_error(std::string(path) + " has mode " + bits + ", wider than we allow");
  }
  return fd;
}

}  // namespace moxtile
