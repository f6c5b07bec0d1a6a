#include "pool/account/account_lock.h"

#include <errno.h>
#include <fcntl.h>

#include <string>

#include "pool/account/private_dir.h"
#include "pool/posix/system_error.h"

namespace moxtile {
namespace {

PoolResult<UniqueFd> open_lock_file() {
  auto dir = open_private_dir(kPoolRunDir, 0700);
  if (!dir) return pool_error(std::move(dir).error());
  UniqueFd fd(::openat(dir->get(), kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) {
    return pool_error(std::string("cannot open ") + kPoolRunDir + "/" + kLockFile + ": " +
                      system_error_text(errno));
  }
  return fd;
}

}  // namespace

void AccountLocks::drop_if_inherited() noexcept {
  if (file_ && !opened_by_.is_current()) file_.reset();
}

PoolResult<bool> AccountLocks::claim(std::uint32_t uid) {
  drop_if_inherited();
  if (!file_) {
    auto opened = open_lock_file();
    if (!opened) return pool_error(std::move(opened).error());
    file_ = std::move(*opened);
    opened_by_ = OwnerProcess();
  }
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(uid);
  lock.l_len = 1;
  while (::fcntl(file_.get(), F_OFD_SETLK, &lock) != 0) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EACCES) return false;
    return pool_error(std::string("cannot lock the account in ") + kPoolRunDir + "/" + kLockFile +
                      ": " + system_error_text(errno));
  }
  return true;
}

}  // namespace moxtile
