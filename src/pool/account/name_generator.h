// NameGenerator: the pool's account-name source, xorshift128 from a fixed seed.
//
// Every generator starts from the same state (sixteen 0x2A bytes), so every
// pool in every run proposes the same names in the same order; the accounts
// outlive the process and are adopted again by name.
// Not thread-safe: the owning UserPool guards it with its mutex.
#pragma once

#include <cstdint>
#include <string>

namespace moxtile {

class NameGenerator final {
 public:
  NameGenerator() noexcept = default;

  // One xorshift128 step; returns the new `w`.
  std::uint32_t step() noexcept;

  // "test_" followed by eight characters drawn from [A-Za-z0-9].
  std::string next_name();

 private:
  std::uint32_t x_ = 0x2A2A2A2A;
  std::uint32_t y_ = 0x2A2A2A2A;
  std::uint32_t z_ = 0x2A2A2A2A;
  std::uint32_t w_ = 0x2A2A2A2A;
};

}  // namespace moxtile
