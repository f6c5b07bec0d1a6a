// Results: converting the core's values to new Python objects.
//
// Each function returns a new reference, or nullptr with an exception set
// (an IoError becomes ValueError through errors.h). Interpreter lock required.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "base/io_result.h"
#include "pybinding/py_ref.h"

namespace moxtile::py {

// None on success; ValueError with the error's message otherwise.
PyObject* none_or_raise(const IoStatus& status);
// An int of an unsigned 64-bit value.
PyObject* new_int(std::uint64_t value);
// A str of UTF-8 text (UnicodeDecodeError if it is not valid UTF-8).
PyObject* new_str(std::string_view utf8);
// True or False.
PyObject* new_bool(bool value);
// Sets `key` of `dict` to `value` (a new reference, stolen even on failure;
// nullptr means its making failed). Returns false with an exception set.
bool set_item(PyObject* dict, const char* key, PyObject* value);

// For new_bytes_filled: a bytes object of `size` bytes, not yet written.
PyRef new_bytes_of_size(std::uint64_t size);
// For new_bytes_filled: `bytes` cut to its first `count` bytes (steals `bytes`).
PyObject* shrink_bytes(PyRef bytes, std::size_t count);

// A bytes object of `size` bytes that fill(std::span<std::uint8_t>) writes in
// place, shrunk to the count it returns: each byte is copied once. `fill`
// returns std::optional<std::size_t>, the count (at most `size`) or nothing
// with an exception set. MemoryError when no bytes object can be that large.
template <class Fill>
PyObject* new_bytes_filled(std::uint64_t size, Fill&& fill) {
  PyRef bytes = new_bytes_of_size(size);
  if (!bytes) return nullptr;
  const std::optional<std::size_t> count = std::forward<Fill>(fill)(std::span<std::uint8_t>(
      reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size));
  if (!count) return nullptr;
  return shrink_bytes(std::move(bytes), *count);
}

}  // namespace moxtile::py
