// UTF-8 validation for what host tools print and for host paths. Thread-safe.
#pragma once

#include <string_view>

namespace moxtile {

// True iff `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace moxtile
