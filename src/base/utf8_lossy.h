// UTF-8 checking and lossy decoding: text from arbitrary bytes.
//
// Every maximal subpart of an ill-formed sequence (the longest prefix of a
// well-formed sequence that the bytes begin with, or else one byte) becomes
// one U+FFFD. Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace moxtile {

// Length of the longest well-formed UTF-8 prefix of `bytes`.
std::size_t valid_utf8_prefix(std::string_view bytes);

// True iff `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
inline bool is_valid_utf8(std::string_view bytes) {
  return valid_utf8_prefix(bytes) == bytes.size();
}

// `bytes` as valid UTF-8; returned unchanged (no copy) when already valid.
std::string utf8_lossy(std::string bytes);

}  // namespace moxtile
