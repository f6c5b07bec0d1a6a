// Small helpers for the one-line structure rendering (nodes, handles, filesystems).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace moxtile {

// Appends `text` in double quotes: \" \\ \n \r \t escaped, other control
// characters as \u{XX}; everything else (UTF-8 included) as it is.
void append_quoted(std::string& out, std::string_view text);

// Appends the decimal form of `value`.
void append_decimal(std::string& out, std::uint64_t value);
void append_decimal(std::string& out, std::int64_t value);

}  // namespace moxtile
