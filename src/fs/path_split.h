// Splitting a path into its parent path and final name, at the last '/' or '\\'.
#pragma once

#include <string_view>

namespace moxtile {

struct PathSplit {
  std::string_view parent;  // empty (the root) when there is no separator
  std::string_view name;    // may be empty (a path ending in a separator)
};

inline PathSplit split_path(std::string_view path) {
  // A plain backward scan: find_last_of with a two-byte set costs a library
  // call per character.
  for (std::size_t at = path.size(); at-- > 0;) {
    if (path[at] == '/' || path[at] == '\\') return {path.substr(0, at), path.substr(at + 1)};
  }
  return {std::string_view(), path};
}

}  // namespace moxtile
