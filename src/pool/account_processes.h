// The processes of one account, found by scanning /proc.
//
// Release gives an account back only once none of its processes runs: a
// process that ignores the polite signal would otherwise live on into the
// next allocation of the account. Thread-safe: no shared state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace moxtile {

// Number of live processes (zombies not counted) whose real or effective
// user id is `uid`.
std::size_t count_account_processes(std::uint32_t uid);

// Sends SIGKILL to every live process whose real or effective user id is
// `uid`, and again to any that appear meanwhile, until none is found or a
// short time (about half a second) has passed. Returns how many were still
// found at the end (0 on success). Refuses uid 0 (returns 0 and kills
// nothing) and never signals the calling process.
std::size_t kill_account_processes(std::uint32_t uid);

}  // namespace moxtile
