#include "pool/account_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "pool/system_error.h"

namespace moxtile {
namespace {

// Opens `path`, a directory only we may write to, creating it if missing.
PoolResult<UniqueFd> open_private_dir(const char* path) {
  if (::mkdir(path, 0700) != 0 && errno != EEXIST) {
    return pool_error(std::string("cannot create ") + path + ": " + system_error_text(errno));
  }
  UniqueFd fd(::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return pool_error(std::string("cannot open ") + path + ": " + system_error_text(errno));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    return pool_error(std::string("cannot inspect ") + path + ": " + system_error_text(errno));
  }
  if (st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
    return pool_error(std::string(path) + " is not a directory owned by us and writable by us alone");
  }
  return fd;
}

PoolResult<UniqueFd> open_lock_file() {
  auto dir = open_private_dir(kLockDir);
  if (!dir) return pool_error(std::move(dir).error());
  UniqueFd fd(::openat(dir->get(), kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) {
    return pool_error(std::string("cannot open ") + kLockDir + "/" + kLockFile + ": " +
                      system_error_text(errno));
  }
  return fd;
}

}  // namespace

PoolResult<bool> AccountLocks::claim(std::uint32_t uid) {
  if (!file_) {
    auto opened = open_lock_file();
    if (!opened) return pool_error(std::move(opened).error());
    file_ = std::move(*opened);
  }
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(uid);
  lock.l_len = 1;
  while (::fcntl(file_.get(), F_OFD_SETLK, &lock) != 0) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EACCES) return false;
    return pool_error(std::string("cannot lock the account in ") + kLockDir + "/" + kLockFile +
                      ": " + system_error_text(errno));
  }
  return true;
}

}  // namespace moxtile
