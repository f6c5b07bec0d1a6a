// PyClass: how a Python class of the module is declared, created and called.
//
// A class file declares its methods (METH_FASTCALL | METH_KEYWORDS functions
// that each call call_method(), or METH_NOARGS ones that call call_noargs()),
// its docstring and its extra slots, and hands them to one PyClass. PyClass
// makes the type once per process with PyType_FromSpec under the name
// "moxtile.<Name>" and Py_TPFLAGS_DEFAULT only: it cannot be subclassed, is
// not tracked by the garbage collector and has no __dict__ or weak references.
//
// Every instance is an Instance<Core>: the object header, a borrow counter and
// one core value. Everything here runs under the interpreter lock.
#pragma once

#include <cstdint>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "pybinding/arguments.h"
#include "pybinding/errors.h"
#include "pybinding/py_ref.h"

namespace moxtile::py {

template <class Core>
struct Instance {
  PyObject_HEAD
  std::uint32_t borrows;  // calls now running on this object; under the interpreter lock
  Core core;              // built in place after allocation, destroyed in tp_dealloc

  static Instance& of(PyObject* object) noexcept { return *reinterpret_cast<Instance*>(object); }
};

// A shared borrow of an instance for the duration of one call.
class SharedBorrow final {
 public:
  explicit SharedBorrow(std::uint32_t& count) noexcept : count_(count) { ++count_; }
  ~SharedBorrow() { --count_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  std::uint32_t& count_;
};

struct ClassSpec {
  const char* name;            // "PyFs"; the module attribute and the type's __name__
  const char* qualified_name;  // "moxtile.PyFs"; must be a string literal (CPython keeps it)
  const char* doc;             // "PyFs()\n--\n\n..." for a class with a constructor
  int basicsize;               // sizeof(Instance<Core>)
  PyMethodDef* methods;        // static, null-terminated; may be nullptr
  newfunc constructor;         // nullptr: calling the class raises "No constructor defined"
  destructor dealloc;
  std::span<const PyType_Slot> extra_slots;  // tp_str, tp_richcompare, ...
  int (*after_create)(PyTypeObject* type);   // may be nullptr; -1 with an exception set
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
  self.borrows = 0;
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

template <class Core>
void dealloc_instance(PyObject* object) {
  destroy_instance<Core>(object);
}

// Runs one method call with parameters: matches the arguments to `signature`,
// takes a shared borrow of the receiver, then runs body(Core&, const Args&),
// which returns a new reference or nullptr with an exception set. No C++
// exception leaves this function.
template <class Core, class Body>
PyObject* call_method(const Signature& signature, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    Args matched(signature);
    if (!match_fastcall(args, nargsf, kwnames, matched)) return nullptr;
    Instance<Core>& object = Instance<Core>::of(self);
    SharedBorrow borrow(object.borrows);
    return body(object.core, std::as_const(matched));
  });
}

// The same for a method without parameters (METH_NOARGS, or a slot such as
// tp_str): body(Core&).
template <class Core, class Body>
PyObject* call_noargs(PyObject* self, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    Instance<Core>& object = Instance<Core>::of(self);
    SharedBorrow borrow(object.borrows);
    return body(object.core);
  });
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
