#include "pool/utf8.h"

namespace moxtile {

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    // Bounds of the second byte depend on the lead byte (rules out overlong
    // forms, surrogates and code points above U+10FFFF).
    int extra;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int i = 2; i <= extra; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += extra + 1;
  }
  return true;
}

}  // namespace moxtile
