// PyFs: the Python class of one in-memory filesystem.
//
// An instance holds a shared reference to a FileSystem; every PyFileHandle
// opened from it and every terminal made on it share the same filesystem,
// which lives until the last of them is gone. The FileSystem does its own
// locking; calls arrive under the interpreter lock.
#pragma once

#include <cstddef>
#include <memory>

#include "fs/file_system.h"
#include "pybinding/arguments.h"
#include "pybinding/py_class.h"

namespace moxtile::py {

PyClass& py_fs_class();

// The converter for a PyFs parameter (the `fs` of a terminal): a new share of
// its filesystem. Returns false with TypeError "argument '<name>': '<type>'
// object cannot be converted to 'PyFs'" for anything else.
bool fs_from_arg(const Args& args, std::size_t i, std::shared_ptr<FileSystem>& out);

}  // namespace moxtile::py
