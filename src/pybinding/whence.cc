#include "pybinding/whence.h"

#include <cstdint>
#include <optional>

namespace moxtile::py {
namespace {

struct WhenceValue {
  std::uint8_t index;  // into kMembers; also the member's integer value
};
using WhenceObject = Instance<WhenceValue>;

struct Member {
  const char* name;
  const char* repr;
  SeekOrigin origin;
};
// In Python member order; the core's SeekOrigin is ordered differently.
constexpr Member kMembers[] = {
    {"SEEK_SET", "Whence.SEEK_SET", SeekOrigin::Start},
    {"SEEK_CUR", "Whence.SEEK_CUR", SeekOrigin::Current},
    {"SEEK_END", "Whence.SEEK_END", SeekOrigin::End},
};

constexpr const char kClassDoc[] =
    "\nA small enumeration to determine the whence\nwhen seeking in a file.\n";

int add_members(PyTypeObject* type) {
  for (std::size_t i = 0; i < std::size(kMembers); ++i) {
    PyRef member =
        PyRef::steal(new_instance<WhenceValue>(type, WhenceValue{static_cast<std::uint8_t>(i)}));
    if (!member) return -1;
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), kMembers[i].name, member.get()) <
        0) {
      return -1;
    }
  }
  return 0;
}

PyObject* whence_repr_impl(WhenceValue& w) { return PyUnicode_FromString(kMembers[w.index].repr); }

PyObject* whence_int_impl(WhenceValue& w) { return PyLong_FromLong(w.index); }

// The value `other` compares by: an integer that fits a signed 64-bit value,
// else another member's value. Empty when it is neither (or on error, with
// the exception set).
std::optional<long long> comparable_value(PyObject* other, bool& failed) {
  failed = false;
  if (PyLong_Check(other) || PyIndex_Check(other)) {
    PyRef index = PyRef::steal(PyNumber_Index(other));
    if (!index) {
      failed = true;
      return std::nullopt;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
      failed = true;
      return std::nullopt;
    }
    if (overflow == 0) return value;
  }
  if (whence_class().is_instance(other)) return WhenceObject::of(other).core.index;
  return std::nullopt;
}

PyObject* whence_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  return call_noargs<WhenceValue>(self, [&](WhenceValue& w) -> PyObject* {
    bool failed = false;
    const std::optional<long long> theirs = comparable_value(other, failed);
    if (failed) return nullptr;
    if (!theirs) Py_RETURN_NOTIMPLEMENTED;  // Python falls back to identity
    const bool equal = *theirs == w.index;
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
  });
}

const PyType_Slot g_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&unary_slot<WhenceValue, whence_repr_impl>)},
    {Py_tp_str, reinterpret_cast<void*>(&unary_slot<WhenceValue, whence_repr_impl>)},
    {Py_nb_int, reinterpret_cast<void*>(&unary_slot<WhenceValue, whence_int_impl>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&whence_richcompare)},
    // Equality without a hash: members cannot be set elements or dict keys.
    {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
};

}  // namespace

PyClass& whence_class() {
  static PyClass instance(ClassSpec{
      .name = "Whence",
      .qualified_name = "moxtile.Whence",
      .doc = kClassDoc,
      .basicsize = sizeof(WhenceObject),
      .dealloc = &destroy_instance<WhenceValue>,
      .extra_slots = g_slots,
      .after_create = &add_members,
  });
  return instance;
}

bool whence_from_arg(const Args& args, std::size_t i, SeekOrigin& out) {
  PyObject* value = args[i];
  if (!whence_class().is_instance(value)) return raise_wrong_type(value, args.name(i), "Whence");
  out = kMembers[WhenceObject::of(value).core.index].origin;
  return true;
}

}  // namespace moxtile::py
