// Preparation of an account's home directory for one allocation.
//
// Each allocation gets an empty directory <root>/<username>, mode 0700, owned
// by the account: whatever an earlier allocation left there is removed first.
// The accounts are untrusted, so root works inside the homes root only through
// a descriptor of it, after checking that it is a real directory that no one
// else may change; a path an account could swap is never looked up again.
// Thread-safe for different usernames; two preparations of the same name at
// once are not coordinated (the pool never hands one account out twice).
#pragma once

#include <cstdint>
#include <string>

#include "pool/account/pool_result.h"

namespace moxtile {

inline constexpr const char* kHomeRoot = "/tmp/tmp_user_home";

// Makes <root>/<username> afresh (creating `root` as a directory of ours,
// mode 0755, if it is missing), gives it to uid:uid (the group is the same
// number as the user id) with mode 0700 and returns its canonical path, or the
// message of the step that failed. A `root` that is not a directory (a link
// included), is not owned by our effective uid or is writable by group or
// others is refused.
PoolResult<std::string> prepare_home(const std::string& root, const std::string& username,
                                     std::uint32_t uid);

}  // namespace moxtile
