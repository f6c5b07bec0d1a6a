#include "pool/account/account_leftovers.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pool/posix/directory_entries.h"
#include "pool/account/private_dir.h"
#include "pool/posix/system_error.h"
#include "pool/posix/tree_removal.h"
#include "pool/posix/unique_fd.h"

namespace moxtile {
namespace {

constexpr const char* kPlaces[] = {"/tmp", "/var/tmp", "/dev/shm", "/run/lock"};

// A sweep that loses its way back up (a directory on its path was moved or
// removed meanwhile) starts the place again, at most this many times in all.
constexpr int kSweepAttempts = 4;

constexpr const char* kMqueueDev = "/dev/mqueue";
constexpr long kMqueueMagic = 0x19800202;
// Our own view of the queues when /dev/mqueue is not mounted: a mount made on
// first use in a root-only directory and left in place.
constexpr const char* kMqueueViewName = "mqueue";
constexpr const char* kMqueueView = "/run/moxtile/mqueue";

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};

FileId id_of(const struct stat& st) { return {st.st_dev, st.st_ino}; }
FileId id_of(const struct statx& sx) {
  return {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
}

SeenEntry seen(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_uid, S_ISDIR(st.st_mode)};
}
SeenEntry seen(const struct statx& sx) {
  const FileId id = id_of(sx);
  return {id.dev, id.ino, sx.stx_uid, S_ISDIR(sx.stx_mode)};
}

Unexpected<std::string> failure(const std::string& what, int err) {
  return pool_error(what + ": " + system_error_text(err));
}

// True iff the account `uid` may have made entries in a directory that it
// does not own (with this owner, group and mode): any other user's, whose
// owner can open it to everyone at will, or one of root's that the account
// may write to now.
bool may_hold_entries(std::uint32_t owner, std::uint32_t group, mode_t mode, std::uint32_t uid) {
  if (owner != 0) return true;
  const bool by_others = (mode & S_IWOTH) != 0 && (mode & S_IXOTH) != 0;
  const bool by_group = group == uid && (mode & S_IWGRP) != 0 && (mode & S_IXGRP) != 0;
  return by_others || by_group;
}

// One walk of one place (see the header for what is removed and entered).
// Holds two directory descriptors of its own (the place and the current
// directory); climbing back goes through "..", checked to be the directory
// we came from.
class PlaceSweep final {
 public:
  enum class Outcome { kDone, kLostTheWay };

  PlaceSweep(std::uint32_t uid, const char* place, int place_fd, const struct statx& place_sx,
             std::optional<FileId> homes_root)
      : uid_(uid),
        place_(place),
        place_fd_(place_fd),
        place_sx_(place_sx),
        homes_root_(homes_root) {}

  PoolResult<Outcome> run() {
    levels_.clear();
    levels_.push_back(Level{id_of(place_sx_), std::string(), {}});
    changed_ = false;
    UniqueFd current(::fcntl(place_fd_, F_DUPFD_CLOEXEC, 0));
    if (!current) return failure("cannot open " + std::string(place_), errno);
    if (auto scanned = scan(current.get()); !scanned) return pool_error(std::move(scanned).error());
    if (changed_) return Outcome::kLostTheWay;

    for (;;) {
      Level& top = levels_.back();
      if (!top.subdirs.empty()) {
        std::string name = std::move(top.subdirs.back());
        top.subdirs.pop_back();
        auto entered = enter(current, std::move(name));
        if (!entered) return pool_error(std::move(entered).error());
        if (changed_) return Outcome::kLostTheWay;
        continue;
      }
      if (levels_.size() == 1) return Outcome::kDone;
      levels_.pop_back();
      current = climb(current.get());
      if (!current) return Outcome::kLostTheWay;
    }
  }

 private:
  struct Level {
    FileId id;
    std::string name;                  // in the level above; empty for the place
    std::vector<std::string> subdirs;  // still to be searched
  };

  std::string dir_path() const {
    std::string path = place_;
    for (std::size_t i = 1; i < levels_.size(); ++i) path += "/" + levels_[i].name;
    return path;
  }
  std::string path_of(const std::string& name) const { return dir_path() + "/" + name; }

  // Removes the account's entry `name` of the directory `fd`, if it is still
  // the one we saw; if another took its name, notes that the walk must start
  // again (the account's entry may have gone anywhere).
  PoolResult<void> remove(int fd, const std::string& name, const SeenEntry& entry) {
    const int err = remove_seen_tree_at(fd, name, entry);
    if (err == ESTALE) {
      changed_ = true;
      return {};
    }
    if (err != 0) return failure("cannot remove " + path_of(name), err);
    return {};
  }

  // Removes the account's entries of the directory open as `fd` (the top
  // level) and lists there the directories to search.
  PoolResult<void> scan(int fd) {
    std::vector<std::pair<std::string, SeenEntry>> owned;
    std::optional<std::string> problem;
    int e = for_each_entry(fd, [&](const dirent& entry) {
      const char* name = entry.d_name;
      struct stat st;
      if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int err = errno;
        if (err == ENOENT) return 0;
        problem = failure("cannot inspect " + path_of(name), err).error;
        return err;
      }
      const bool dir = S_ISDIR(st.st_mode);
      if (dir && off_limits(id_of(st))) return 0;
      if (st.st_uid == uid_) {
        owned.emplace_back(name, seen(st));
      } else if (dir && may_hold_entries(st.st_uid, st.st_gid, st.st_mode, uid_)) {
        levels_.back().subdirs.emplace_back(name);
      }
      return 0;
    });
    if (problem) return pool_error(std::move(*problem));
    if (e != 0) return failure("cannot read " + dir_path(), e);
    for (const auto& [name, entry] : owned) {
      if (auto removed = remove(fd, name, entry); !removed || changed_) return removed;
    }
    return {};
  }

  // Opens the directory `name` of `current` and, if it still is one to
  // search, makes it the current directory and scans it.
  PoolResult<void> enter(UniqueFd& current, std::string name) {
    UniqueFd fd(
        ::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
      // Gone, or swapped for something that is no directory to search.
      if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return {};
      return failure("cannot open " + path_of(name), errno);
    }
    // Judged again on what was opened: the name may have changed hands.
    struct statx sx;
    if (::statx(fd.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_MNT_ID, &sx) != 0) {
      return failure("cannot inspect " + path_of(name), errno);
    }
    const FileId id = id_of(sx);
    if (off_limits(id) || !on_place_mount(sx)) return {};
    if (sx.stx_uid == uid_) return remove(current.get(), name, seen(sx));
    if (!may_hold_entries(sx.stx_uid, sx.stx_gid, sx.stx_mode, uid_)) return {};
    levels_.push_back(Level{id, std::move(name), {}});
    current = std::move(fd);
    return scan(current.get());
  }

  // True iff the directory `id` is the homes root or the root of another
  // mount (a directory on another device).
  bool off_limits(const FileId& id) const {
    return id.dev != id_of(place_sx_).dev || (homes_root_ && id == *homes_root_);
  }

  // The device is checked by off_limits(); a bind mount keeps it, but not the
  // mount id.
  bool on_place_mount(const struct statx& sx) const {
    const bool both_known = (sx.stx_mask & place_sx_.stx_mask & STATX_MNT_ID) != 0;
    return !both_known || sx.stx_mnt_id == place_sx_.stx_mnt_id;
  }

  // The directory of the (new) top level, reached from `current`, the one we
  // just left: through "..", else down from the place by the names we came
  // along, each checked to be the directory we saw there. Invalid when
  // neither leads there.
  UniqueFd climb(int current) const {
    const FileId want = levels_.back().id;
    UniqueFd up(::openat(current, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (up && is(up.get(), want)) return up;

    UniqueFd fd(::fcntl(place_fd_, F_DUPFD_CLOEXEC, 0));
    for (std::size_t i = 1; fd && i < levels_.size(); ++i) {
      fd.reset(::openat(fd.get(), levels_[i].name.c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (fd && !is(fd.get(), levels_[i].id)) fd.reset();
    }
    return fd;
  }

  static bool is(int fd, const FileId& id) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && id_of(st) == id;
  }

  const std::uint32_t uid_;
  const char* const place_;
  const int place_fd_;
  const struct statx place_sx_;
  const std::optional<FileId> homes_root_;
  std::vector<Level> levels_;  // from the place down to the current directory
  bool changed_ = false;       // an entry we meant to remove was replaced
};

// The homes root, if it is a directory that only we may change (as the home
// preparation insists): then no account can swap it or its entries, and it is
// walked as a place of its own. Invalid otherwise, and then it is just another
// directory to the walks of the places.
UniqueFd open_homes_root(const std::string& homes_root) {
  UniqueFd fd(::open(homes_root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid() ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return UniqueFd();
  }
  return fd;
}

// Sweeps the place open as `fd` unless it is one of `swept`, then adds it.
PoolResult<void> sweep_place(std::uint32_t uid, const char* place, int fd,
                             std::optional<FileId> homes, std::vector<FileId>& swept) {
  struct statx sx;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_MNT_ID, &sx) != 0) {
    return failure("cannot inspect " + std::string(place), errno);
  }
  const FileId id = id_of(sx);
  if (std::find(swept.begin(), swept.end(), id) != swept.end()) return {};
  swept.push_back(id);

  PlaceSweep sweep(uid, place, fd, sx, homes);
  for (int attempt = 0;; ++attempt) {
    auto outcome = sweep.run();
    if (!outcome) return pool_error(std::move(outcome).error());
    if (*outcome == PlaceSweep::Outcome::kDone) return {};
    if (attempt + 1 == kSweepAttempts) {
      return pool_error(std::string(place) + " kept changing during the sweep");
    }
  }
}

PoolResult<void> sweep_places(std::uint32_t uid, const std::string& homes_root) {
  const UniqueFd homes_fd = open_homes_root(homes_root);
  std::optional<FileId> homes;
  if (struct stat st; homes_fd && ::fstat(homes_fd.get(), &st) == 0) homes = id_of(st);

  std::vector<FileId> swept;  // /var/lock and /run/lock, say, may be one directory
  for (const char* place : kPlaces) {
    // The places themselves are root's: a link among them is the host's choice.
    UniqueFd fd(::open(place, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
      if (errno == ENOENT || errno == ENOTDIR) continue;
      return failure("cannot open " + std::string(place), errno);
    }
    if (auto done = sweep_place(uid, place, fd.get(), homes, swept); !done) return done;
  }
  // Another account's home may be open to everyone, or made so by its owner
  // at will: the account may have left entries in any of them, at any depth.
  if (homes_fd) return sweep_place(uid, homes_root.c_str(), homes_fd.get(), homes, swept);
  return {};
}

// System V IPC: each kind's objects are found by walking the kernel's index
// up to the highest slot in use; an object of the account's goes by its id.

bool gone(int err) { return err == EINVAL || err == EIDRM; }

// A kernel built without System V IPC has nothing to remove.
PoolResult<void> unless_absent(const std::string& what, int err) {
  if (err == ENOSYS) return {};
  return failure(what, err);
}

PoolResult<void> remove_shared_memory(std::uint32_t uid) {
  struct shm_info info;
  const int highest = ::shmctl(0, SHM_INFO, reinterpret_cast<struct shmid_ds*>(&info));
  if (highest < 0) return unless_absent("cannot list System V shared memory", errno);
  for (int slot = 0; slot <= highest; ++slot) {
    struct shmid_ds ds;
    const int id = ::shmctl(slot, SHM_STAT, &ds);
    if (id < 0 || (ds.shm_perm.uid != uid && ds.shm_perm.cuid != uid)) continue;
    // A removed segment lives on while attached: leave nothing the account
    // could still attach.
    ds.shm_perm.uid = 0;
    ds.shm_perm.gid = 0;
    ds.shm_perm.mode = 0;
    if ((::shmctl(id, IPC_SET, &ds) != 0 && !gone(errno)) ||
        (::shmctl(id, IPC_RMID, nullptr) != 0 && !gone(errno))) {
      return failure("cannot remove System V shared memory segment " + std::to_string(id), errno);
    }
  }
  return {};
}

// The argument semctl takes for its info and stat requests.
union SemArg {
  int val;
  struct semid_ds* buf;
  unsigned short* array;
  struct seminfo* info;
};

PoolResult<void> remove_semaphores(std::uint32_t uid) {
  struct seminfo info;
  SemArg arg;
  arg.info = &info;
  const int highest = ::semctl(0, 0, SEM_INFO, arg);
  if (highest < 0) return unless_absent("cannot list System V semaphore sets", errno);
  for (int slot = 0; slot <= highest; ++slot) {
    struct semid_ds ds;
    arg.buf = &ds;
    const int id = ::semctl(slot, 0, SEM_STAT, arg);
    if (id < 0 || (ds.sem_perm.uid != uid && ds.sem_perm.cuid != uid)) continue;
    if (::semctl(id, 0, IPC_RMID) != 0 && !gone(errno)) {
      return failure("cannot remove System V semaphore set " + std::to_string(id), errno);
    }
  }
  return {};
}

PoolResult<void> remove_message_queues(std::uint32_t uid) {
  struct msginfo info;
  const int highest = ::msgctl(0, MSG_INFO, reinterpret_cast<struct msqid_ds*>(&info));
  if (highest < 0) return unless_absent("cannot list System V message queues", errno);
  for (int slot = 0; slot <= highest; ++slot) {
    struct msqid_ds ds;
    const int id = ::msgctl(slot, MSG_STAT, &ds);
    if (id < 0 || (ds.msg_perm.uid != uid && ds.msg_perm.cuid != uid)) continue;
    if (::msgctl(id, IPC_RMID, nullptr) != 0 && !gone(errno)) {
      return failure("cannot remove System V message queue " + std::to_string(id), errno);
    }
  }
  return {};
}

bool is_mqueue(int fd) {
  struct statfs sf;
  return ::fstatfs(fd, &sf) == 0 && sf.f_type == kMqueueMagic;
}

// A directory showing this IPC namespace's POSIX message queues: /dev/mqueue
// if one is mounted there, else our own mount at kMqueueView. An invalid
// descriptor when there is none and we may not mount one.
PoolResult<UniqueFd> open_mqueue_view() {
  UniqueFd dev(::open(kMqueueDev, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dev && is_mqueue(dev.get())) return dev;
  if (::geteuid() != 0) return UniqueFd();

  static std::mutex mounting;  // two first uses would mount twice
  std::lock_guard<std::mutex> hold(mounting);
  auto dir = open_private_dir(kPoolRunDir, 0700);
  if (!dir) return pool_error(std::move(dir).error());
  auto open_view = [&] {
    return UniqueFd(
        ::openat(dir->get(), kMqueueViewName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  };
  if (::mkdirat(dir->get(), kMqueueViewName, 0700) != 0 && errno != EEXIST) {
    return failure(std::string("cannot create ") + kMqueueView, errno);
  }
  UniqueFd view = open_view();
  if (!view) return failure(std::string("cannot open ") + kMqueueView, errno);
  if (is_mqueue(view.get())) return view;
  // Only root can have made anything in the private directory; the check
  // costs nothing.
  struct stat st;
  if (::fstat(view.get(), &st) != 0 || st.st_uid != 0) {
    return pool_error(std::string(kMqueueView) + " is not root's directory");
  }
  if (::mount("mqueue", kMqueueView, "mqueue", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    if (errno == ENODEV) return UniqueFd();  // a kernel without POSIX message queues
    return failure(std::string("cannot mount the message queue filesystem at ") + kMqueueView,
                   errno);
  }
  view = open_view();
  if (!view || !is_mqueue(view.get())) {
    return pool_error(std::string("no message queue filesystem at ") + kMqueueView +
                      " after mounting it");
  }
  return view;
}

PoolResult<void> remove_posix_queues(std::uint32_t uid) {
  auto view = open_mqueue_view();
  if (!view) return pool_error(std::move(view).error());
  if (!*view) return {};
  const int fd = view->get();
  std::optional<std::string> problem;
  int e = for_each_entry(fd, [&](const dirent& entry) {
    const char* name = entry.d_name;
    const std::string queue = std::string("the POSIX message queue /") + name;
    struct stat st;
    if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      const int err = errno;
      if (err == ENOENT) return 0;
      problem = failure("cannot inspect " + queue, err).error;
      return err;
    }
    if (st.st_uid != uid || ::unlinkat(fd, name, 0) == 0 || errno == ENOENT) return 0;
    const int err = errno;
    problem = failure("cannot remove " + queue, err).error;
    return err;
  });
  if (problem) return pool_error(std::move(*problem));
  if (e != 0) return failure("cannot list the POSIX message queues", e);
  return {};
}

}  // namespace

PoolResult<void> remove_account_leftovers(std::uint32_t uid, const std::string& homes_root) {
  if (uid == 0) return pool_error("refusing to remove what root owns");
  for (auto step :
       {remove_shared_memory, remove_semaphores, remove_message_queues, remove_posix_queues}) {
    if (auto done = step(uid); !done) return done;
  }
  return sweep_places(uid, homes_root);
}

}  // namespace moxtile
