// A directory that only this process's user may change, e.g. a root-only
// place for the pool's own files under /run.
//
// Root must not trust a path that someone else could have prepared: an
// existing directory is used only if it is a real directory (not a link),
// owned by the effective user and granting no permission beyond the mode
// asked for. The result is a descriptor, so later steps work on the very
// directory that was checked. Thread-safe: no shared state.
#pragma once

#include <sys/types.h>

#include "pool/account/pool_result.h"
#include "pool/posix/unique_fd.h"

namespace moxtile {

// The pool's own root-only directory: the account lock file, the view of the
// message queues.
inline constexpr const char* kPoolRunDir = "/run/moxtile";

// Opens the directory `path`, creating it with exactly `mode` if it is
// missing (its parent must exist). Refuses, with the reason as text, a path
// that is a link or not a directory, a directory owned by another user, and
// one whose permission bits go beyond `mode`. Intermediate components of
// `path` are followed: only its last one is checked.
PoolResult<UniqueFd> open_private_dir(const char* path, mode_t mode);

}  // namespace moxtile
