#include "pybinding/results.h"

#include <cstring>

#include "pybinding/errors.h"

namespace moxtile::py {
namespace {

// Largest size a bytes object can have; anything above cannot be allocated.
constexpr std::uint64_t kMaxBytesSize =
    static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject);

}  // namespace

PyObject* none_or_raise(const IoStatus& status) {
  if (!status) return raise_io_error(status.error());
  Py_RETURN_NONE;
}

PyObject* new_int(std::uint64_t value) {
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
}

PyObject* new_str(std::string_view utf8) {
  // Names are nearly always ASCII: copy them straight into a compact str.
  bool ascii = true;
  for (char c : utf8) ascii &= static_cast<unsigned char>(c) < 0x80;
  if (!ascii) {
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
  }
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(utf8.size()), 127);
  if (str != nullptr && !utf8.empty()) std::memcpy(PyUnicode_DATA(str), utf8.data(), utf8.size());
  return str;
}

PyRef new_bytes_of_size(std::uint64_t size) {
  if (size > kMaxBytesSize) {
    PyErr_NoMemory();
    return PyRef();
  }
  return PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

PyObject* shrink_bytes(PyRef bytes, std::size_t count) {
  if (static_cast<Py_ssize_t>(count) == PyBytes_GET_SIZE(bytes.get())) return bytes.release();
  PyObject* resized = bytes.release();
  if (_PyBytes_Resize(&resized, static_cast<Py_ssize_t>(count)) < 0) return nullptr;
  return resized;
}

PyObject* new_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

}  // namespace moxtile::py
