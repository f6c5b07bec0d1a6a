// PrivateWorld: namespaces of its own for a group of processes, so that what
// they write and the kernel objects they make are theirs alone and go with
// them.
//
// A world is made once, by a throw-away thread, and kept alive by descriptors
// of its namespaces; any number of processes are then started inside it from
// other throw-away threads that join it (enter()). It has:
// - a mount namespace in which every host mount is read-only and nosuid; the
//   places a plan names (/tmp, /var/tmp, /dev/shm, /run/lock) are fresh
//   size-limited tmpfs mounts (nosuid, nodev); one directory of the host is
//   bound in at its own path, writable (nosuid, nodev), and nothing else of
//   its parent directory shows; /proc shows only the processes of the user
//   looking; pseudo-terminals stay writable, so that terminals work;
// - an IPC namespace: System V objects and POSIX message queues of its own;
// - when asked, a network namespace holding only a loopback that is up.
// Nothing here changes the calling thread: the namespaces are made and
// joined in threads of their own, which is why a thread, not a process, is
// enough (a thread can leave the mount namespace the rest shares).
//
// Thread-safety: a world is not synchronised; its owner serialises make,
// enter and dissolve. enter() from several threads at once is safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pool/posix/owner_process.h"
#include "pool/posix/sys_result.h"
#include "pool/posix/unique_fd.h"

namespace moxtile {

struct WorldPlan {
  std::vector<std::string> private_places;  // absolute paths; a missing one is skipped
  std::uint64_t place_size_bytes = 0;       // the size limit of each private place
  std::string shown_directory;              // canonical path bound in writable; "" for none
  bool private_network = false;
  // A layer the host cannot give is left out instead of failing the make.
  bool accept_less = false;
};

// Which layers a made world actually has.
struct WorldLayers {
  bool mount_namespace = false;
  bool read_only_host = false;
  bool private_places = false;
  bool private_proc = false;
  bool ipc_namespace = false;
  bool network_namespace = false;
};

class PrivateWorld final {
 public:
  PrivateWorld() = default;
  PrivateWorld(PrivateWorld&&) noexcept = default;
  PrivateWorld& operator=(PrivateWorld&&) noexcept = default;
  ~PrivateWorld() { dissolve(); }

  // Makes a world after `plan`. Fails with the step that failed, unless
  // plan.accept_less lets that layer be left out (see layers()).
  static SysResult<PrivateWorld> make(const WorldPlan& plan);

  const WorldLayers& layers() const noexcept { return layers_; }
  bool empty() const noexcept { return !mount_ && !ipc_ && !network_; }

  // Moves the calling thread into the world's namespaces; what it starts
  // afterwards lives there. The thread keeps them for the rest of its life,
  // so call it only from a thread made for the purpose.
  SysResult<void> enter() const;

  // Unmounts the private places, so their memory is freed now rather than
  // when the last process inside is gone, and lets go of the namespaces.
  // The world is empty afterwards. In a forked copy it only lets go: the
  // places are still the original's.
  void dissolve() noexcept;

 private:
  friend class WorldBuilder;

  UniqueFd mount_;
  UniqueFd ipc_;
  UniqueFd network_;
  std::vector<std::string> places_;  // the private places mounted, to unmount
  WorldLayers layers_;
  OwnerProcess made_in_;
};

// Sets no-new-privileges on the calling thread: nothing it starts can gain
// rights by executing a set-uid or set-gid file, or a file with capabilities.
SysResult<void> forbid_new_privileges();

}  // namespace moxtile
