// The load limit of the filesystem's open-addressing tables (the inode table's
// shards and a large directory's name index): past it a table doubles.
// Pure functions, safe from any thread.
#pragma once

#include <cstdint>

namespace moxtile {

// At most 4 of every 5 slots in use: probe runs stay short.
inline constexpr std::uint64_t kMaxLoadNumerator = 4;
inline constexpr std::uint64_t kMaxLoadDenominator = 5;

// True iff `entries` in a table of `capacity` slots is more than the limit allows.
constexpr bool exceeds_max_load(std::uint64_t entries, std::uint64_t capacity) noexcept {
  return entries * kMaxLoadDenominator > capacity * kMaxLoadNumerator;
}

}  // namespace moxtile
