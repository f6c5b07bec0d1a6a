#include "pybinding/py_class.h"

#include <array>
#include <cstring>
#include <string>

#include "base/panic.h"

namespace moxtile::py {
namespace {

constexpr std::size_t kMaxSlots = 16;

// Older interpreters (3.9) strip the text signature when they copy a class
// doc, which loses __text_signature__; put the whole text back. The type owns
// tp_doc and frees it with PyObject_Free. __doc__ is unaffected (it was set
// from the text without the signature).
bool keep_whole_doc(PyTypeObject* type, const char* doc) {
  if (type->tp_doc != nullptr && std::strcmp(type->tp_doc, doc) == 0) return true;
  const std::size_t size = std::strlen(doc) + 1;
  char* copy = static_cast<char*>(PyObject_Malloc(size));
  if (copy == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(copy, doc, size);
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = copy;
  return true;
}

}  // namespace

PyTypeObject* PyClass::ensure() {
  if (type_ != nullptr) return type_;

  std::array<PyType_Slot, kMaxSlots> slots{};
  std::size_t n = 0;
  slots[n++] = {Py_tp_doc, const_cast<char*>(spec_.doc)};
  if (spec_.methods != nullptr) slots[n++] = {Py_tp_methods, spec_.methods};
  slots[n++] = {Py_tp_new, reinterpret_cast<void*>(spec_.constructor != nullptr ? spec_.constructor
                                                                                : &no_constructor)};
  slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(spec_.dealloc)};
  for (const PyType_Slot& slot : spec_.extra_slots) {
    if (n + 1 >= kMaxSlots) {
      PyErr_SetString(PyExc_SystemError, "too many type slots");
      return nullptr;
    }
    slots[n++] = slot;
  }
  slots[n] = {0, nullptr};

  PyType_Spec type_spec{spec_.qualified_name, spec_.basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  PyRef type = PyRef::steal(PyType_FromSpec(&type_spec));
  if (!type) return nullptr;
  if (!keep_whole_doc(reinterpret_cast<PyTypeObject*>(type.get()), spec_.doc)) return nullptr;
  if (spec_.after_create != nullptr &&
      spec_.after_create(reinterpret_cast<PyTypeObject*>(type.get())) < 0) {
    return nullptr;
  }
  type_ = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the life of the process
  return type_;
}

PyTypeObject* PyClass::require() {
  if (PyTypeObject* type = ensure()) return type;
  PyErr_PrintEx(0);
  panic(std::string("failed to create type object for ") + spec_.name);
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyMethodDef method_with_args(const char* name,
                             PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t,
                                                   PyObject*),
                             const char* doc) noexcept {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef method_without_args(const char* name, PyObject* (*function)(PyObject*, PyObject*),
                                const char* doc) noexcept {
  return {name, function, METH_NOARGS, doc};
}

}  // namespace moxtile::py
