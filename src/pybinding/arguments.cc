#include "pybinding/arguments.h"

#include <string>
#include <utility>

#include "pybinding/errors.h"

namespace moxtile::py {
namespace {

constexpr std::size_t kNotFound = kMaxParams;

bool check_positional_count(const Signature& sig, Py_ssize_t nargs) {
  if (static_cast<std::size_t>(nargs) <= sig.positional) return true;
  const char* verb = nargs == 1 ? "was" : "were";
  if (sig.required >= sig.positional) {
    PyErr_Format(PyExc_TypeError, "%s.%s() takes %zu positional arguments but %zd %s given",
                 sig.owner, sig.method, sig.positional, nargs, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s.%s() takes from %zu to %zu positional arguments but %zd %s given", sig.owner,
                 sig.method, sig.required, sig.positional, nargs, verb);
  }
  return false;
}

// Interned identity first (names written in source code arrive interned),
// then a compare by value.
std::size_t find_parameter(const Signature& sig, PyObject* name) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (sig.interned[i] == name) return i;
  }
  if (!PyUnicode_Check(name)) return kNotFound;
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.names[i]) != 0) continue;
    if (sig.interned[i] == nullptr) {
      sig.interned[i] = PyUnicode_InternFromString(sig.names[i]);  // kept forever
      if (sig.interned[i] == nullptr) PyErr_Clear();               // only a missed fast path
    }
    return i;
  }
  return kNotFound;
}

bool place_keyword(const Signature& sig, PyObject* name, PyObject* value, Py_ssize_t nargs,
                   std::array<PyObject*, kMaxParams>& values) {
  const std::size_t i = find_parameter(sig, name);
  if (i == kNotFound) {
    PyErr_Format(PyExc_TypeError,
                 PyUnicode_Check(name) ? "%s.%s() got an unexpected keyword argument '%U'"
                                       : "%s.%s() got an unexpected keyword argument '%S'",
                 sig.owner, sig.method, name);
    return false;
  }
  if (i < static_cast<std::size_t>(nargs)) {
    PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'", sig.owner,
                 sig.method, sig.names[i]);
    return false;
  }
  values[i] = value;
  return true;
}

bool check_missing(const Signature& sig, const std::array<PyObject*, kMaxParams>& values) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += values[i] == nullptr ? 1 : 0;
  if (missing == 0) return true;

  std::string text = std::string(sig.owner) + "." + sig.method + "() missing " +
                     std::to_string(missing) + " required positional argument" +
                     (missing == 1 ? ": " : "s: ");
  std::size_t listed = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (values[i] != nullptr) continue;
    if (listed > 0) {
      if (missing > 2) text += ",";
      text += listed + 1 == missing ? " and " : " ";
    }
    text += "'";
    text += sig.names[i];
    text += "'";
    ++listed;
  }
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

// The type's __qualname__ (its tp_name should that lookup fail). New reference.
PyRef type_qualname(PyObject* value) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr_Clear();
  return PyRef::steal(PyUnicode_FromString(Py_TYPE(value)->tp_name));
}

bool attribute_equals(PyObject* type, const char* attribute,
                      std::initializer_list<const char*> any_of) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(type, attribute));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return false;
  }
  for (const char* candidate : any_of) {
    if (PyUnicode_CompareWithASCIIString(value.get(), candidate) == 0) return true;
  }
  return false;
}

// numpy's bool scalar is "numpy.bool_" in numpy 1 and "numpy.bool" in numpy 2.
bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  return attribute_equals(type, "__module__", {"numpy"}) &&
         attribute_equals(type, "__qualname__", {"bool_", "bool"});
}

bool unsigned_from_int(PyObject* number, const char* name, std::uint64_t& out) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(number);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return prefix_type_error(name);
  }
  out = value;
  return true;
}

}  // namespace

bool match_fastcall(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Args& out) {
  const Signature& sig = *out.signature_;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!check_positional_count(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out.values_[static_cast<std::size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out.values_)) {
        return false;
      }
    }
  }
  return check_missing(sig, out.values_);
}

bool match_tuple(PyObject* args, PyObject* kwargs, Args& out) {
  const Signature& sig = *out.signature_;
  const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (!check_positional_count(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out.values_[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(sig, name, value, nargs, out.values_)) return false;
    }
  }
  return check_missing(sig, out.values_);
}

bool raise_wrong_type(PyObject* value, const char* name, const char* target) {
  PyRef type_name = type_qualname(value);
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", name,
               type_name.get(), target);
  return false;
}

bool prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  FetchedError error = FetchedError::fetch_normalized();
  if (!error.value) return false;

  PyRef message = PyRef::steal(PyObject_Str(error.value.get()));
  if (!message) return false;
  PyRef cause = PyRef::steal(PyException_GetCause(error.value.get()));
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
  if (cause) set_pending_cause(std::move(cause), /*also_context=*/false);
  return false;
}

bool Args::text(std::size_t i, std::string_view& out) const {
  PyObject* value = values_[i];
  if (!PyUnicode_Check(value)) return raise_wrong_type(value, name(i), "PyString");
  Py_ssize_t size = 0;
  // The UTF-8 form is cached inside the str, so this allocates at most once per str.
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return prefix_type_error(name(i));
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool Args::optional_text(std::size_t i, std::optional<std::string_view>& out) const {
  if (values_[i] == nullptr || values_[i] == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text_value;
  if (!text(i, text_value)) return false;
  out = text_value;
  return true;
}

bool Args::bytes(std::size_t i, std::span<const std::uint8_t>& out) const {
  PyObject* value = values_[i];
  if (!PyBytes_Check(value)) return raise_wrong_type(value, name(i), "PyBytes");
  out =
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
                                    static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
  return true;
}

bool Args::u64(std::size_t i, std::uint64_t& out) const {
  PyObject* value = values_[i];
  if (PyLong_Check(value)) return unsigned_from_int(value, name(i), out);
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return prefix_type_error(name(i));
  return unsigned_from_int(index.get(), name(i), out);
}

bool Args::optional_u64(std::size_t i, std::optional<std::uint64_t>& out) const {
  if (values_[i] == nullptr || values_[i] == Py_None) {
    out.reset();
    return true;
  }
  std::uint64_t number = 0;
  if (!u64(i, number)) return false;
  out = number;
  return true;
}

bool Args::optional_real(std::size_t i, std::optional<double>& out) const {
  PyObject* value = values_[i];
  if (value == nullptr || value == Py_None) {
    out.reset();
    return true;
  }
  if (!PyFloat_Check(value) && !PyLong_Check(value)) {
    return raise_wrong_type(value, name(i), "float");
  }
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return prefix_type_error(name(i));
  out = number;
  return true;
}

bool Args::flag(std::size_t i, bool& out) const {
  PyObject* value = values_[i];
  if (value == Py_True || value == Py_False) {
    out = value == Py_True;
    return true;
  }
  if (!is_numpy_bool(value)) return raise_wrong_type(value, name(i), "PyBool");
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return prefix_type_error(name(i));
  out = truth != 0;
  return true;
}

bool Args::optional_flag(std::size_t i, std::optional<bool>& out) const {
  if (values_[i] == nullptr || values_[i] == Py_None) {
    out.reset();
    return true;
  }
  bool value = false;
  if (!flag(i, value)) return false;
  out = value;
  return true;
}

}  // namespace moxtile::py
