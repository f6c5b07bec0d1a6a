#include "pybinding/errors.h"

#include <exception>
#include <new>
#include <string>
#include <utility>

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

FetchedError fetch_error(bool normalize) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (normalize) PyErr_NormalizeException(&type, &value, &traceback);
  return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

}  // namespace

bool init_panic_exception() {
  if (g_panic_exception != nullptr) return true;
  g_panic_exception =
      PyErr_NewExceptionWithDoc("moxtile.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
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

FetchedError FetchedError::fetch() noexcept { return fetch_error(/*normalize=*/false); }

FetchedError FetchedError::fetch_normalized() noexcept { return fetch_error(/*normalize=*/true); }

void FetchedError::restore() noexcept {
  PyErr_Restore(type.release(), value.release(), traceback.release());  // steals all three
}

void set_pending_cause(PyRef cause, bool also_context) noexcept {
  FetchedError error = FetchedError::fetch_normalized();
  if (error.value && cause) {
    if (also_context) {
      Py_INCREF(cause.get());
      PyException_SetContext(error.value.get(), cause.get());  // steals the new reference
    }
    PyException_SetCause(error.value.get(), cause.release());  // steals
  }
  error.restore();
}

PyObject* raise_from_pending(PyObject* type, const char* message) {
  FetchedError replaced = FetchedError::fetch_normalized();
  // As a cause it is shown with the traceback of where it was raised.
  if (replaced.value && replaced.traceback) {
    PyException_SetTraceback(replaced.value.get(), replaced.traceback.get());
  }
  PyErr_SetString(type, message);
  if (replaced.value) set_pending_cause(std::move(replaced.value), /*also_context=*/true);
  return nullptr;
}

void report_unraisable_panic(PyTypeObject* type, std::string_view message) noexcept {
  FetchedError pending = FetchedError::fetch();
  raise_panic(message);
  // The type, not the dying instance: handing the hook a reference to an
  // object whose count already reached zero would destroy it twice.
  PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
  pending.restore();
}

}  // namespace moxtile::py
