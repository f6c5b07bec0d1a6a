// What each tenancy is kept in: the settings a pool's owner chooses, and a
// report of what the host actually gives.
//
// Every tenant process runs with no new privileges, inside a private world
// of its tenancy (private_world.h): its own mount and IPC namespaces, private
// /tmp, /var/tmp, /dev/shm and /run/lock, its home and no other, a read-only
// host, a /proc of its own processes and, when asked, no network but
// loopback. Settings apply to the accounts handed out after they are made.
// Thread-safety: plain values; the pool guards its copy with its lock.
#pragma once

#include <cstdint>

#include "pool/posix/private_world.h"

namespace moxtile {

struct ContainmentSettings {
  bool cut_network = false;  // a network namespace holding only loopback
  bool accept_less = false;  // hand out even where the host cannot give a layer
  std::uint64_t private_space_mib = 2048;  // the size of each private place
};

// The places every account could write to on the host, private per tenancy.
inline constexpr const char* kPrivatePlaces[] = {"/tmp", "/var/tmp", "/dev/shm", "/run/lock"};

// The plan of a tenancy's world under `settings`, showing `home` ("" for none).
WorldPlan world_plan(const ContainmentSettings& settings, const std::string& home);

// What a world made now under `settings` would have, found by making one
// without a home and letting it go. `error` holds why making it failed.
struct ContainmentReport {
  WorldLayers layers;
  std::string error;
};
ContainmentReport probe_containment(const ContainmentSettings& settings);

}  // namespace moxtile
