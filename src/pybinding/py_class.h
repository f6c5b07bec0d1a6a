// PyClass: how a Python class of the module is declared, created and called.
//
// A class file writes each method body as a `<class>_<method>_impl` function
// of the instance's core (and its matched arguments), declares its method
// table with fastcall_method<>/noargs_method<> entries, its docstring and its
// extra slots, and hands them to one PyClass. PyClass makes the type once per
// process with PyType_FromSpec under the name "moxtile.<Name>" and
// Py_TPFLAGS_DEFAULT only: it cannot be subclassed, is not tracked by the
// garbage collector and has no __dict__ or weak references.
//
// Every instance is an Instance<Core>: the object header and one core value.
// Everything here runs under the interpreter lock.
#pragma once

#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "base/panic.h"
#include "base/poisonable_mutex.h"
#include "pybinding/arguments.h"
#include "pybinding/errors.h"
#include "pybinding/py_ref.h"

namespace moxtile::py {

template <class Core>
struct Instance {
  PyObject_HEAD
  Core core;  // built in place after allocation, destroyed in tp_dealloc

  static Instance& of(PyObject* object) noexcept { return *reinterpret_cast<Instance*>(object); }
};

// What PyClass makes a type from. The type gets the slots Py_tp_doc (`doc`),
// Py_tp_methods (`methods`, when given), Py_tp_new (`constructor`, or
// no_constructor) and Py_tp_dealloc (`dealloc`), then `extra_slots` in order.
struct ClassSpec {
  const char* name;            // "PyFs"; the module attribute and the type's __name__
  const char* qualified_name;  // "moxtile.PyFs"; must be a string literal (CPython keeps it)
  const char* doc;             // "PyFs()\n--\n\n..." for a class with a constructor
  int basicsize;               // sizeof(Instance<Core>)
  destructor dealloc;
  PyMethodDef* methods = nullptr;  // static, null-terminated; nullptr: no methods
  newfunc constructor = nullptr;   // nullptr: calling the class raises "No constructor defined"
  std::span<const PyType_Slot> extra_slots = {};      // tp_str, tp_richcompare, ...
  int (*after_create)(PyTypeObject* type) = nullptr;  // -1 with an exception set
};

class PyClass final {
 public:
  explicit constexpr PyClass(const ClassSpec& spec) noexcept : spec_(spec) {}
  PyClass(const PyClass&) = delete;
  PyClass& operator=(const PyClass&) = delete;

  const char* name() const noexcept { return spec_.name; }
  // The type (borrowed; kept for the life of the process), made on the first
  // call. nullptr with an exception set if it cannot be made.
  PyTypeObject* ensure();
  // ensure() for code that needs the type after import: if the type cannot be
  // made, prints the underlying error to standard error and throws Panic
  // "failed to create type object for <Name>".
  PyTypeObject* require();
  // The type once made (borrowed), else nullptr.
  PyTypeObject* type() const noexcept { return type_; }
  bool is_instance(PyObject* object) const noexcept {
    return type_ != nullptr && Py_TYPE(object) == type_;
  }

 private:
  ClassSpec spec_;
  PyTypeObject* type_ = nullptr;
};

// Allocates an instance of `type` and builds its core from `args`. Returns a
// new reference, or nullptr with MemoryError set.
template <class Core, class... A>
PyObject* new_instance(PyTypeObject* type, A&&... args) noexcept {
  static_assert(std::is_nothrow_constructible_v<Core, A...>,
                "build the core value before allocating the object");
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  Instance<Core>& self = Instance<Core>::of(object);
  new (&self.core) Core(std::forward<A>(args)...);
  return object;
}

// Destroys the core and frees the object. For tp_dealloc.
// REQUIRES: the core's destructor does not throw (report fatal errors first,
// with report_unraisable_panic()).
template <class Core>
void destroy_instance(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  Instance<Core>::of(object).core.~Core();
  type->tp_free(object);
  Py_DECREF(type);  // instances of heap types hold their type
}

// tp_dealloc of an instance whose core is a PoisonableMutex<T> holding
// something to close before it goes: runs close(T&) under the mutex, poisoned
// or not. A Panic, or a non-empty text that close() returns, reaches the
// unraisable hook as a PanicException; any other exception is reported as
// `unknown_error`. Then destroys the instance.
template <class T, class Close>
void close_then_destroy(PyObject* object, const char* unknown_error, Close&& close) noexcept {
  PoisonableMutex<T>& cell = Instance<PoisonableMutex<T>>::of(object).core;
  try {
    const std::string problem = cell.with_lock_ignoring_poison(std::forward<Close>(close));
    if (!problem.empty()) report_unraisable_panic(Py_TYPE(object), problem);
  } catch (const Panic& panic) {
    report_unraisable_panic(Py_TYPE(object), panic.message());
  } catch (...) {
    report_unraisable_panic(Py_TYPE(object), unknown_error);
  }
  destroy_instance<PoisonableMutex<T>>(object);
}

// Runs one method call with parameters: matches the arguments to `signature`,
// then runs body(Core&, const Args&), which returns a new reference or
// nullptr with an exception set. No C++ exception leaves this function.
template <class Core, class Body>
PyObject* call_method(const Signature& signature, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    Args matched(signature);
    if (!match_fastcall(args, nargsf, kwnames, matched)) return nullptr;
    return body(Instance<Core>::of(self).core, std::as_const(matched));
  });
}

// The same for a method without parameters (METH_NOARGS, or a slot such as
// tp_str): body(Core&).
template <class Core, class Body>
PyObject* call_noargs(PyObject* self, Body&& body) noexcept {
  return guarded([&]() -> PyObject* { return body(Instance<Core>::of(self).core); });
}

// A method with parameters (METH_FASTCALL | METH_KEYWORDS) whose body is
// `Impl`(Core&, const Args&) and whose parameters are `kSignature`.
template <class Core, const Signature& kSignature, PyObject* (*Impl)(Core&, const Args&)>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) noexcept {
  return call_method<Core>(kSignature, self, args, nargsf, kwnames, Impl);
}

// A method without parameters (METH_NOARGS) whose body is `Impl`(Core&).
template <class Core, PyObject* (*Impl)(Core&)>
PyObject* noargs_method(PyObject* self, PyObject* /*unused*/) noexcept {
  return call_noargs<Core>(self, Impl);
}

// A unary slot (tp_str, tp_repr, nb_int) whose body is `Impl`(Core&).
template <class Core, PyObject* (*Impl)(Core&)>
PyObject* unary_slot(PyObject* self) noexcept {
  return call_noargs<Core>(self, Impl);
}

// The tp_new of the classes that Python cannot construct.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Method-table entries.
PyMethodDef method_with_args(const char* name,
                             PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t,
                                                   PyObject*),
                             const char* doc) noexcept;
PyMethodDef method_without_args(const char* name, PyObject* (*function)(PyObject*, PyObject*),
                                const char* doc) noexcept;

}  // namespace moxtile::py
