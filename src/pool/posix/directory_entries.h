// Listing a directory held as a descriptor, for the walks that run as root
// over trees other accounts may change (the home wipe, the leftover sweep).
//
// The listing goes through a description of its own, opened from the
// directory itself, so it always starts at the first entry and leaves the
// caller's descriptor as it was. Thread-safe: no shared state.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace moxtile {

// Calls visit(entry) for each entry of the directory open as `fd`, "." and
// ".." left out, until visit returns non-zero. Returns 0, what visit
// returned, or the errno of a failed open or read.
template <class Visit>
int for_each_entry(int fd, Visit visit) {
  const int own = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return errno;
  DIR* dir = ::fdopendir(own);  // takes `own` over
  if (dir == nullptr) {
    const int e = errno;
    ::close(own);
    return e;
  }
  int result = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      result = errno;
      break;
    }
    const char* n = entry->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    result = visit(*entry);
    if (result != 0) break;
  }
  ::closedir(dir);
  return result;
}

}  // namespace moxtile
