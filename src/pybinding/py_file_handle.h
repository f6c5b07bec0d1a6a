// PyFileHandle: the Python class of one open file of a PyFs.
//
// An instance holds one FileHandle behind a PoisonableMutex: every method locks
// it for the whole core call, and a fatal error inside leaves it poisoned.
// Handles on the same file exclude each other through the file's own lock,
// not through this mutex. Destroying an open handle closes it first.
#pragma once

#include "fs/file_handle.h"
#include "pybinding/py_class.h"

namespace moxtile::py {

PyClass& py_file_handle_class();

// Wraps `handle` in a new PyFileHandle of `type` (from py_file_handle_class()).
// Returns a new reference, or nullptr with MemoryError set (then `handle` is
// left to the caller, still open).
PyObject* new_py_file_handle(PyTypeObject* type, FileHandle&& handle);

}  // namespace moxtile::py
