// Whence: the Python enumeration of seek origins, with its three members
// SEEK_SET (0), SEEK_CUR (1) and SEEK_END (2), made once together with the
// type and stored as class attributes. Members compare equal to integers and
// to each other by value, are unhashable and have no __index__. Immutable;
// used under the interpreter lock.
#pragma once

#include <cstddef>

#include "fs/file_handle_type.h"
#include "pybinding/arguments.h"
#include "pybinding/py_class.h"

namespace moxtile::py {

PyClass& whence_class();

// The converter for a Whence parameter: the member's SeekOrigin, by meaning
// (SEEK_CUR is Current, SEEK_END is End). Returns false with TypeError
// "argument '<name>': '<type>' object cannot be converted to 'Whence'" for
// anything else, integers included.
bool whence_from_arg(const Args& args, std::size_t i, SeekOrigin& out);

}  // namespace moxtile::py
