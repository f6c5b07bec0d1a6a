// Preparation of an account's home directory for one allocation.
//
// Each allocation gets an empty directory <root>/<username>, owned by the
// account: whatever an earlier allocation left there is removed first.
// Thread-safe for different usernames; two preparations of the same name at
// once are not coordinated (the pool never hands one account out twice).
#pragma once

#include <cstdint>
#include <string>

#include "pool/pool_result.h"

namespace moxtile {

inline constexpr const char* kHomeRoot = "/tmp/tmp_user_home";

// Makes <root>/<username> afresh (creating `root` if needed), gives it to
// uid:uid (the group is the same number as the user id) and returns its
// canonical path, or the message of the step that failed.
PoolResult<std::string> prepare_home(const std::string& root, const std::string& username,
                                     std::uint32_t uid);

}  // namespace moxtile
