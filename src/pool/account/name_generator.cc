#include "pool/account/name_generator.h"

#include <string_view>

namespace moxtile {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::uint32_t kAlphabetSize = sizeof kAlphabet - 1;  // 62
constexpr std::string_view kNamePrefix = "test_";
constexpr std::size_t kRandomChars = 8;

}  // namespace

std::uint32_t NameGenerator::step() noexcept {
  const std::uint32_t t = x_ ^ (x_ << 11);
  x_ = y_;
  y_ = z_;
  z_ = w_;
  w_ = w_ ^ (w_ >> 19) ^ t ^ (t >> 8);
  return w_;
}

std::string NameGenerator::next_name() {
  std::string name(kNamePrefix);
  name.reserve(kNamePrefix.size() + kRandomChars);
  while (name.size() < kNamePrefix.size() + kRandomChars) {
    // Top six bits; 62 and 63 are thrown away so that every character is equally likely.
    const std::uint32_t v = step() >> 26;
    if (v < kAlphabetSize) name += kAlphabet[v];
  }
  return name;
}

}  // namespace moxtile
