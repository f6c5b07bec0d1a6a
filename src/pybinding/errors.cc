#include "pybinding/errors.h"

#include <exception>
#include <new>
#include <string>

#include "base/panic.h"

namespace moxtile::py {
namespace {

// Created once and kept for the life of the process; touched under the
// interpreter lock only.
PyObject* g_panic_exception = nullptr;

constexpr const char kPanicDoc[] =
    "A fatal internal error of moxtile (a broken invariant or a poisoned lock).\n\n"
    "Derived directly from BaseException, so `except Exception` does not catch it.";

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace

bool init_panic_exception() {
  if (g_panic_exception != nullptr) return true;
  g_panic_exception = PyErr_NewExceptionWithDoc("moxtile.PanicException", kPanicDoc,
                                                PyExc_BaseException, nullptr);
  return g_panic_exception != nullptr;
}

PyObject* raise_io_error(IoError error) {
  const std::string message = error.message();
  return raise_value_error(message);
}

PyObject* raise_value_error(std::string_view text) {
  PyRef message = PyRef::steal(text_object(text));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

PyObject* raise_panic(std::string_view text) {
  PyRef message = PyRef::steal(text_object(text));
  if (message && init_panic_exception()) PyErr_SetObject(g_panic_exception, message.get());
  return nullptr;
}

PyObject* raise_current_exception() noexcept {
  try {
    throw;
  } catch (const Panic& panic) {
    return raise_panic(panic.message());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_panic(error.what());
  } catch (...) {
    return raise_panic("unknown internal error");
  }
}

PyObject* raise_from_pending(PyObject* type, const char* message) {
  PyObject* cause_type = nullptr;
  PyObject* cause = nullptr;
  PyObject* cause_tb = nullptr;
  PyErr_Fetch(&cause_type, &cause, &cause_tb);
  PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
  if (cause_tb != nullptr && cause != nullptr) PyException_SetTraceback(cause, cause_tb);
  Py_XDECREF(cause_type);
  Py_XDECREF(cause_tb);

  PyErr_SetString(type, message);
  if (cause == nullptr) return nullptr;
  PyObject* new_type = nullptr;
  PyObject* error = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&new_type, &error, &tb);
  PyErr_NormalizeException(&new_type, &error, &tb);
  if (error != nullptr) {
    Py_INCREF(cause);
    PyException_SetContext(error, cause);  // steals one reference
    PyException_SetCause(error, cause);    // steals the other
  } else {
    Py_DECREF(cause);
  }
  PyErr_Restore(new_type, error, tb);
  return nullptr;
}

void report_unraisable_panic(PyTypeObject* type, std::string_view message) noexcept {
  PyObject* pending_type = nullptr;
  PyObject* pending = nullptr;
  PyObject* pending_tb = nullptr;
  PyErr_Fetch(&pending_type, &pending, &pending_tb);
  raise_panic(message);
  // The type, not the dying instance: handing the hook a reference to an
  // object whose count already reached zero would destroy it twice.
  PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
  PyErr_Restore(pending_type, pending, pending_tb);
}

}  // namespace moxtile::py
