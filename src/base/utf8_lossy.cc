#include "base/utf8_lossy.h"

#include <cstdint>

namespace moxtile {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct SequenceShape {
  std::size_t length;       // 0: not a lead byte
  std::uint8_t second_low;  // range of the byte after the lead
  std::uint8_t second_high;
};

// Well-formed sequences by lead byte; the narrowed second-byte ranges exclude
// overlong forms, surrogates and code points past U+10FFFF.
SequenceShape shape_of(std::uint8_t lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead < 0xC2) return {0, 0, 0};
  if (lead < 0xE0) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead < 0xF0) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead < 0xF4) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// Returns the length of the well-formed sequence at `pos`, or, as a negative
// number, the length of the maximal subpart to replace (at least 1).
std::ptrdiff_t measure(std::string_view bytes, std::size_t pos) {
  const auto byte_at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const SequenceShape shape = shape_of(byte_at(pos));
  if (shape.length == 0) return -1;
  for (std::size_t k = 1; k < shape.length; ++k) {
    if (pos + k >= bytes.size()) return -static_cast<std::ptrdiff_t>(k);
    const std::uint8_t b = byte_at(pos + k);
    const std::uint8_t low = k == 1 ? shape.second_low : 0x80;
    const std::uint8_t high = k == 1 ? shape.second_high : 0xBF;
    if (b < low || b > high) return -static_cast<std::ptrdiff_t>(k);
  }
  return static_cast<std::ptrdiff_t>(shape.length);
}

}  // namespace

std::size_t valid_utf8_prefix(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (static_cast<std::uint8_t>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const std::ptrdiff_t n = measure(bytes, pos);
    if (n < 0) break;
    pos += static_cast<std::size_t>(n);
  }
  return pos;
}

std::string utf8_lossy(std::string bytes) {
  std::size_t pos = valid_utf8_prefix(bytes);
  if (pos == bytes.size()) return bytes;

  std::string out;
  out.reserve(bytes.size() + 8);
  out.append(bytes, 0, pos);
  const std::string_view view(bytes);
  while (pos < view.size()) {
    const std::ptrdiff_t n = measure(view, pos);
    if (n > 0) {
      out.append(view.substr(pos, static_cast<std::size_t>(n)));
      pos += static_cast<std::size_t>(n);
    } else {
      out.append(kReplacement);
      pos += static_cast<std::size_t>(-n);
    }
  }
  return out;
}

}  // namespace moxtile
