#include "pybinding/results.h"

#include <cstring>

#include "pybinding/errors.h"

namespace moxtile::py {

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

PyObject* new_str_list(const std::vector<std::string>& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = new_str(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return list.release();
}

}  // namespace moxtile::py
