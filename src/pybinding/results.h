// Results: converting the core's values to new Python objects.
//
// Each function returns a new reference, or nullptr with an exception set
// (an IoError becomes ValueError through errors.h). Interpreter lock required.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/io_result.h"
#include "pybinding/py_ref.h"

namespace moxtile::py {

// None on success; ValueError with the error's message otherwise.
PyObject* none_or_raise(const IoStatus& status);
// An int of an unsigned 64-bit value.
PyObject* new_int(std::uint64_t value);
// A str of UTF-8 text (UnicodeDecodeError if it is not valid UTF-8).
PyObject* new_str(std::string_view utf8);
// A list of str.
PyObject* new_str_list(const std::vector<std::string>& items);

}  // namespace moxtile::py
