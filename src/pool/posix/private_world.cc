#include "pool/posix/private_world.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "pool/posix/own_thread.h"

namespace moxtile {
namespace {

#ifndef SYS_mount_setattr
#define SYS_mount_setattr 442  // the same number on every architecture
#endif

// The kernel's struct mount_attr, spelled out so that older C libraries build.
struct MountAttr {
  std::uint64_t attr_set;
  std::uint64_t attr_clr;
  std::uint64_t propagation;
  std::uint64_t userns_fd;
};
constexpr std::uint64_t kAttrReadOnly = 0x1;
constexpr std::uint64_t kAttrNoSuid = 0x2;
constexpr std::uint64_t kAttrNoDev = 0x4;
constexpr unsigned kRecursive = 0x8000;  // AT_RECURSIVE

int set_mount_attributes(const char* path, unsigned flags, std::uint64_t set, std::uint64_t clear) {
  MountAttr attr{set, clear, 0, 0};
  return ::syscall(SYS_mount_setattr, AT_FDCWD, path, flags, &attr, sizeof attr) == 0 ? 0 : errno;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p with mode 0755 for what is missing.
int make_directories(const std::string& path) {
  for (std::size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    const std::string prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// The canonical path of `path` when it is a directory, else "".
std::string canonical_directory(const std::string& path) {
  std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr), &::free);
  if (!real || !is_directory(real.get())) return {};
  return real.get();
}

// Brings the loopback interface of the calling thread's network namespace up.
int loopback_up() {
  UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock) return errno;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (::ioctl(sock.get(), SIOCGIFFLAGS, &request) != 0) return errno;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  return ::ioctl(sock.get(), SIOCSIFFLAGS, &request) == 0 ? 0 : errno;
}

UniqueFd open_namespace(const char* kind) {
  char path[64];
  // The kinds are short literals: the path always fits.
  static_cast<void>(std::snprintf(path, sizeof path, "/proc/thread-self/ns/%s", kind));
  return UniqueFd(::open(path, O_RDONLY | O_CLOEXEC));
}

}  // namespace

// The steps of making a world, in the thread that makes it. Each layer is
// either made whole or, when the plan accepts less, left out.
class WorldBuilder final {
 public:
  WorldBuilder(const WorldPlan& plan, PrivateWorld& world) : plan_(plan), world_(world) {}

  SysResult<void> build() {
    WorldLayers& layers = world_.layers_;
    if (auto made = unshare_namespaces(layers); !made) return made;
    if (layers.mount_namespace) {
      if (auto built = build_mounts(world_.places_, layers); !built) return built;
    }
    if (layers.network_namespace) {
      if (int e = loopback_up(); e != 0) return sys_error(e, "bring up the tenancy's loopback");
    }
    if (layers.mount_namespace) {
      world_.mount_ = open_namespace("mnt");
      if (!world_.mount_) return sys_error(errno, "hold the tenancy's mount namespace");
    }
    if (layers.ipc_namespace) {
      world_.ipc_ = open_namespace("ipc");
      if (!world_.ipc_) return sys_error(errno, "hold the tenancy's IPC namespace");
    }
    if (layers.network_namespace) {
      world_.network_ = open_namespace("net");
      if (!world_.network_) return sys_error(errno, "hold the tenancy's network namespace");
    }
    return {};
  }

 private:
  // Fails unless the plan accepts less; then records the layer as missing.
  SysResult<void> missing(bool& layer, int err, const char* step) {
    layer = false;
    if (!plan_.accept_less) return sys_error(err, step);
    return {};
  }

  SysResult<void> unshare_namespaces(WorldLayers& layers) {
    const int all = CLONE_NEWNS | CLONE_NEWIPC | (plan_.private_network ? CLONE_NEWNET : 0);
    if (::unshare(all) == 0) {
      layers.mount_namespace = layers.ipc_namespace = true;
      layers.network_namespace = plan_.private_network;
      return {};
    }
    if (!plan_.accept_less) return sys_error(errno, "make the tenancy's namespaces");
    layers.mount_namespace = ::unshare(CLONE_NEWNS) == 0;
    layers.ipc_namespace = ::unshare(CLONE_NEWIPC) == 0;
    layers.network_namespace = plan_.private_network && ::unshare(CLONE_NEWNET) == 0;
    return {};
  }

  SysResult<void> build_mounts(std::vector<std::string>& places, WorldLayers& layers) {
    // Nothing mounted from here on may reach the host's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return missing(layers.mount_namespace, errno, "keep the tenancy's mounts to itself");
    }
    // Opened before anything is mounted over the way to it.
    UniqueFd shown;
    if (!plan_.shown_directory.empty()) {
      shown.reset(
          ::open(plan_.shown_directory.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!shown) return sys_error(errno, "open the tenancy's home");
    }

    layers.read_only_host = true;
    if (int e = set_mount_attributes("/", kRecursive, kAttrReadOnly | kAttrNoSuid, 0); e != 0) {
      if (auto r = missing(layers.read_only_host, e, "make the host read-only"); !r) return r;
    }
    // su gives each shell a pseudo-terminal of its own, made writable for it.
    struct statfs fs;
    if (layers.read_only_host && ::statfs("/dev/pts", &fs) == 0 &&
        fs.f_type == DEVPTS_SUPER_MAGIC) {
      if (int e = set_mount_attributes("/dev/pts", 0, 0, kAttrReadOnly); e != 0) {
        return sys_error(e, "keep pseudo-terminals writable");
      }
    }

    layers.private_places = true;
    const std::string options = "size=" + std::to_string(plan_.place_size_bytes) + ",mode=1777";
    for (const std::string& place : plan_.private_places) {
      const std::string real = canonical_directory(place);
      if (real.empty()) continue;
      if (::mount("tmpfs", real.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        if (auto r = missing(layers.private_places, errno, "mount a private place"); !r) return r;
        continue;
      }
      places.push_back(real);
    }

    if (shown) {
      if (auto bound = bind_shown_directory(shown.get()); !bound) return bound;
    }

    layers.private_proc = true;
    constexpr unsigned long kProcFlags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
    if (::mount("proc", "/proc", "proc", kProcFlags, "hidepid=invisible") != 0 &&
        ::mount("proc", "/proc", "proc", kProcFlags, "hidepid=2") != 0) {
      if (auto r = missing(layers.private_proc, errno, "mount a /proc of the tenancy's own"); !r) {
        return r;
      }
    }
    return {};
  }

  // Shows the directory open as `fd` at its own path, writable, and nothing
  // else of its parent: the other homes stay out of sight.
  SysResult<void> bind_shown_directory(int fd) {
    const std::string& path = plan_.shown_directory;
    const std::string parent = path.substr(0, path.rfind('/'));
    if (!parent.empty()) {
      if (is_directory(parent)) {
        // Still the host's: cover it with an empty directory of our own.
        if (::mount("tmpfs", parent.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    "size=64k,mode=0755") != 0) {
          return sys_error(errno, "hide the other homes");
        }
      } else if (int e = make_directories(parent); e != 0) {
        return sys_error(e, "make the way to the tenancy's home");
      }
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      return sys_error(errno, "make the tenancy's home");
    }
    char source[64];
    // Every descriptor number fits.
    static_cast<void>(std::snprintf(source, sizeof source, "/proc/thread-self/fd/%d", fd));
    if (::mount(source, path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return sys_error(errno, "show the tenancy's home");
    }
    if (int e = set_mount_attributes(path.c_str(), 0, kAttrNoSuid | kAttrNoDev, kAttrReadOnly);
        e != 0) {
      return sys_error(e, "make the tenancy's home writable");
    }
    return {};
  }

  const WorldPlan& plan_;
  PrivateWorld& world_;
};

SysResult<PrivateWorld> PrivateWorld::make(const WorldPlan& plan) {
  return in_own_thread([&plan]() -> SysResult<PrivateWorld> {
    PrivateWorld world;
    if (auto built = WorldBuilder(plan, world).build(); !built) return sys_error(built.error());
    return world;
  });
}

SysResult<void> PrivateWorld::enter() const {
  // A thread shares its root and working directory with the others until
  // it unshares them, and may not change mount namespace while it does.
  if (mount_ && ::unshare(CLONE_FS) != 0) return sys_error(errno, "enter the tenancy");
  if (ipc_ && ::setns(ipc_.get(), CLONE_NEWIPC) != 0) return sys_error(errno, "enter the tenancy");
  if (network_ && ::setns(network_.get(), CLONE_NEWNET) != 0) {
    return sys_error(errno, "enter the tenancy");
  }
  if (mount_ && ::setns(mount_.get(), CLONE_NEWNS) != 0)
    return sys_error(errno, "enter the tenancy");
  return {};
}

void PrivateWorld::dissolve() noexcept {
  if (mount_ && !places_.empty() && made_in_.is_current()) {
    // Detached with nothing open in them, the places' memory goes at once.
    (void)in_own_thread([this]() -> SysResult<void> {
      if (::unshare(CLONE_FS) != 0 || ::setns(mount_.get(), CLONE_NEWNS) != 0) {
        return sys_error(errno);
      }
      for (auto it = places_.rbegin(); it != places_.rend(); ++it) {
        ::umount2(it->c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
      }
      return {};
    });
  }
  places_.clear();
  mount_.reset();
  ipc_.reset();
  network_.reset();
}

SysResult<void> forbid_new_privileges() {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
    return sys_error(errno, "forbid new privileges");
  return {};
}

}  // namespace moxtile
