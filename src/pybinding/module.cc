// The module entry: builds the module `moxtile` and registers its classes.
//
// Single-phase initialisation, once per process: the types are made once and
// kept, and a second initialisation fails with ImportError.

#include <string>
#include <string_view>

#include "base/version.h"
#include "pool/account/fatal_error_sink.h"
#include "pybinding/errors.h"
#include "pybinding/py_class.h"
#include "pybinding/py_file_handle.h"
#include "pybinding/py_fs.h"
#include "pybinding/py_ref.h"
#include "pybinding/py_term.h"
#include "pybinding/py_terminal_session.h"
#include "pybinding/py_user.h"
#include "pybinding/py_user_pool.h"
#include "pybinding/whence.h"

namespace moxtile::py {
namespace {

// Registration order is part of the module's interface (it is the order of __all__).
using ClassHook = PyClass& (*)();
const ClassHook kClasses[] = {
    &py_fs_class,   &py_file_handle_class,      &py_term_class, &whence_class, &py_user_pool_class,
    &py_user_class, &py_terminal_session_class,
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "moxtile",  // m_name
    "",         // m_doc
    -1,         // m_size: no per-module state; a re-import reuses the first module's contents
    nullptr,    // m_methods
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

bool g_initialised = false;  // under the interpreter lock

bool register_class(PyObject* module, PyObject* all, PyClass& cls) {
  PyTypeObject* type = cls.ensure();
  if (type == nullptr) {
    const std::string message =
        std::string("An error occurred while initializing class ") + cls.name();
    raise_from_pending(PyExc_RuntimeError, message.c_str());
    return false;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString(cls.name()));
  if (!name || PyList_Append(all, name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
  if (g_initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "moxtile may be initialised only once per interpreter process");
    return nullptr;
  }
  if (!init_panic_exception()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create(&g_module));
  if (!module) return nullptr;
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  for (ClassHook hook : kClasses) {
    if (!register_class(module.get(), all.get(), hook())) return nullptr;
  }
  // Outside __all__, which names the classes only.
  const std::string_view version = package_version();
  PyRef text = PyRef::steal(
      PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size())));
  if (!text || PyObject_SetAttrString(module.get(), "__version__", text.get()) < 0) return nullptr;
  set_fatal_error_sink(&report_release_failure);
  g_initialised = true;
  return module.release();
}

}  // namespace
}  // namespace moxtile::py

PyMODINIT_FUNC PyInit_moxtile() {
  return moxtile::py::guarded([] { return moxtile::py::init_module(); });
}
