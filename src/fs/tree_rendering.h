// Tree rendering: an indented listing of a directory and everything below it.
//
// For each directory of `path`, in listing order: "<prefix><name>/\n" and at
// once its own rendering with the prefix plus two spaces; then one
// "<prefix><name>\n" line per other entry. The starting directory has no line
// of its own. Each directory is resolved by its path text and listed on its
// own, so the result is not one atomic snapshot. Any failure is returned
// alone, never with partial text. Safe to call from any thread.
#pragma once

#include <string>
#include <string_view>

#include "base/io_result.h"
#include "fs/file_system.h"

namespace moxtile {

IoResult<std::string> render_tree(const FileSystem& fs, std::string_view path,
                                  std::string_view prefix);

}  // namespace moxtile
