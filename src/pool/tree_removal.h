// Removal of a directory tree that an untrusted account owned.
//
// Runs as root inside a tree whose owner may plant symbolic links or swap
// entries while it is being removed. The walk therefore goes by descriptors
// (openat/unlinkat with O_NOFOLLOW), never by path strings, and never follows
// a symbolic link: a link is removed as a link and what it points to is left
// alone. Thread-safe: no shared state.
#pragma once

#include <string>

namespace moxtile {

// Removes the entry `name` of the directory open as `dir_fd` (or AT_FDCWD)
// with everything below it. A directory is emptied and removed; anything else
// is unlinked. Nothing at `name` is success. Returns 0 or the errno of the
// first step that failed (e.g. EMFILE for a tree deeper than the descriptors
// we may open).
int remove_tree_at(int dir_fd, const std::string& name);

}  // namespace moxtile
