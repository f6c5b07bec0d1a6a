#include "pool/name_generator.h"

namespace moxtile {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::uint32_t kAlphabetSize = sizeof kAlphabet - 1;  // 62
constexpr int kRandomChars = 8;

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
  std::string name = "test_";
  name.reserve(name.size() + kRandomChars);
  while (name.size() < 5 + kRandomChars) {
    // Top six bits; 62 and 63 are thrown away so that every character is equally likely.
    const std::uint32_t v = step() >> 26;
    if (v < kAlphabetSize) name += kAlphabet[v];
  }
  return name;
}

}  // namespace moxtile
