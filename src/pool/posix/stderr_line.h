// One warning line on the process's standard error (descriptor 2).
// Thread-safe: the line goes out in as few write calls as the kernel allows,
// so concurrent warnings do not interleave within a line in practice.
#pragma once

#include <string_view>

namespace moxtile {

// Writes `text` and a line break; failures are ignored (there is nowhere to report them).
void write_stderr_line(std::string_view text) noexcept;

}  // namespace moxtile
