// PyRef: the one owning reference to a Python object in the binding layer.
//
// A PyRef owns exactly one strong reference (or none) and drops it on
// destruction. It is made with steal() (takes over a new reference the caller
// already owns) and gives its reference back to CPython with release().
// Every use is under the interpreter lock; a PyRef must not be destroyed
// without it.
//
// This header also brings in the CPython API for the whole binding layer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace moxtile::py {

class PyRef final {
 public:
  PyRef() noexcept = default;
  // Steals: takes over `object`, a new reference (nullptr allowed).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  // Borrowed view; the PyRef keeps its reference.
  PyObject* get() const noexcept { return object_; }
  // Hands the reference off (to CPython or a stealing call); the PyRef is empty afterwards.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace moxtile::py
