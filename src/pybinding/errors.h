// Errors: the one place where failures of the core become Python exceptions.
//
//   IoError, error text       -> ValueError (exactly, never a subclass) with the message
//   moxtile::Panic            -> PanicException (derived directly from BaseException)
//   std::bad_alloc            -> MemoryError
//   any other C++ exception   -> PanicException (an internal error all the same)
//
// PanicException is created once per process and is deliberately not an
// attribute of the module. All functions need the interpreter lock. The raise_*
// helpers return nullptr so that call sites stay one line.
#pragma once

#include <string_view>

#include "base/io_error.h"
#include "pybinding/py_ref.h"

namespace moxtile::py {

// Creates PanicException if this process has none yet. Returns false with an
// exception set on failure.
bool init_panic_exception();

// Each sets the exception and returns nullptr.
PyObject* raise_io_error(IoError error);
PyObject* raise_value_error(std::string_view text);
PyObject* raise_panic(std::string_view message);

// Converts the C++ exception being handled into a Python exception.
// REQUIRES: called inside a catch block.
PyObject* raise_current_exception() noexcept;

// The error indicator's three parts, taken out of it (it is clear afterwards)
// and owned until restore() hands them back.
struct FetchedError {
  PyRef type;
  PyRef value;
  PyRef traceback;

  // As the indicator holds them (the value possibly not yet an instance).
  static FetchedError fetch() noexcept;
  // The same with the value made an exception instance (PyErr_NormalizeException).
  static FetchedError fetch_normalized() noexcept;
  // Makes them the pending exception again; this object is empty afterwards.
  void restore() noexcept;
};

// Makes `cause` the __cause__ of the pending exception and, with
// `also_context`, its __context__ too. Without a pending exception, `cause` is
// only dropped.
void set_pending_cause(PyRef cause, bool also_context) noexcept;

// Replaces the pending exception with `type`(message), whose __cause__ (and
// __context__) is the replaced one. Returns nullptr.
// REQUIRES: an exception is set.
PyObject* raise_from_pending(PyObject* type, const char* message);

// Reports a fatal error met while destroying an instance of `type` to
// sys.unraisablehook as a PanicException. An exception that was already
// pending is kept. Never raises.
void report_unraisable_panic(PyTypeObject* type, std::string_view message) noexcept;

// Runs `body` (returning a new reference or nullptr with an exception set) and
// stops every C++ exception at this boundary.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return raise_current_exception();
  }
}

}  // namespace moxtile::py
