// Removal of a directory tree that an untrusted account owned.
//
// Runs as root inside a tree whose owner may plant links, FIFOs or odd names,
// nest it arbitrarily deep and move parts of it while it is being removed.
// The walk goes by descriptors (openat/unlinkat), never follows a symbolic
// link, and holds at most two descriptors of its own whatever the depth: it
// goes back up through "..", checked against the directory it came from, and
// starts over if the tree was moved under it. Each directory is listed once,
// so the time is linear in the number of entries. Thread-safe: no shared state.
#pragma once

#include <sys/types.h>

#include <string>

namespace moxtile {

// Removes the entry `name` of the directory open as `dir_fd` (or AT_FDCWD)
// with everything below it. A directory is emptied and removed; anything else
// is unlinked. Nothing at `name` is success. Returns 0 or the errno of the
// first step that failed: EXDEV for a directory on another device inside the
// tree (a mount is not ours to empty), EAGAIN if the tree kept moving under
// the walk, ENOTEMPTY if a directory kept being refilled.
int remove_tree_at(int dir_fd, const std::string& name);

// An entry as a caller saw it when it decided to remove it.
struct SeenEntry {
  dev_t dev;
  ino_t ino;
  uid_t owner;
  bool directory;
};

// As remove_tree_at, but only while `name` is still the entry `seen`: a
// directory is opened and checked (device, inode, owner) before anything
// below it is touched, and emptied through that descriptor. Whoever may write
// to the directory `dir_fd` can put another entry at `name` after the caller
// looked; a directory there is left alone and ESTALE returned. A non-directory
// is unlinked by name, and so is the emptied directory removed at the end:
// whoever could put either there could remove it as well.
int remove_seen_tree_at(int dir_fd, const std::string& name, const SeenEntry& seen);

}  // namespace moxtile
