#include "pybinding/py_user_pool.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "pool/account/lifecycle.h"
#include "pool/account/user_pool.h"
#include "pool/account/containment.h"
#include "pybinding/py_user.h"
#include "pybinding/results.h"

namespace moxtile::py {
namespace {

using PoolObject = Instance<SharedUserPool>;

constexpr std::uint64_t kDefaultUserCount = 256;

constexpr const char kClassDoc[] =
    "PyUserPool(user_count=None)\n--\n\n"
    "\nA class that represents a pool of UNIX users.\n\nThis class represents a pool of UNIX "
    "users. The pool can be used to\ncreate and release user accounts. The pool is thread-safe "
    "and can be\nshared between multiple threads.\n";

constexpr const char kAllocateDoc[] =
    "allocate($self)\n--\n\n\nAllocate a new user account from the pool.\n\nThis function "
    "allocates a new user account from the pool. The user\naccount can be used to create a new "
    "terminal session. The function\nwill return an error if the user account could not be "
    "allocated.\n";

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constinit Signature signature{"PyUserPool", "__new__", {"user_count"}, 0};
  return guarded([&]() -> PyObject* {
    Args matched(signature);
    if (!match_tuple(args, kwargs, matched)) return nullptr;
    std::optional<std::uint64_t> count;
    if (!matched.optional_u64(0, count)) return nullptr;
    auto pool = new_user_pool(static_cast<std::size_t>(count.value_or(kDefaultUserCount)));
    if (!pool) return raise_value_error(pool.error());
    return new_instance<SharedUserPool>(type, std::move(pool).value());
  });
}

constexpr const char kConfigureDoc[] =
    "configure($self, /, *, cut_network=None, accept_less=None, private_space_mib=None)\n--\n\n"
    "Set how the accounts handed out from now on are contained.\n\n"
    "Every argument is optional; one left out or None keeps its setting.\n"
    "cut_network: True gives each tenancy a network of its own holding only\n"
    "    loopback, so nothing of the host's network is reachable (default False).\n"
    "accept_less: True hands accounts out even where the host cannot give a\n"
    "    containment layer, which is then left out; False (the default) makes\n"
    "    such an allocation fail, naming the layer.\n"
    "private_space_mib: the size limit, in MiB, of each of the tenancy's private\n"
    "    /tmp, /var/tmp, /dev/shm and /run/lock (default 2048).\n";

constexpr const char kContainmentDoc[] =
    "containment($self, /)\n--\n\n"
    "Report the containment settings and the layers the host gives.\n\n"
    "Returns a dict: \"settings\" (as configure() takes them), \"layers\" (each\n"
    "layer's name and whether a tenancy made now gets it) and \"missing\" (why a\n"
    "tenancy cannot be made now, or None).\n";

PyObject* pool_configure_impl(SharedUserPool& pool, const Args& args) {
  std::optional<bool> cut_network;
  std::optional<bool> accept_less;
  std::optional<std::uint64_t> space_mib;
  if (!args.optional_flag(0, cut_network) || !args.optional_flag(1, accept_less) ||
      !args.optional_u64(2, space_mib)) {
    return nullptr;
  }
  if (space_mib && (*space_mib == 0 || *space_mib > (std::uint64_t{1} << 40))) {
    return raise_value_error("private_space_mib must be between 1 and 2**40");
  }
  auto guard = pool->lock();
  ContainmentSettings settings = guard->settings();
  if (cut_network) settings.cut_network = *cut_network;
  if (accept_less) settings.accept_less = *accept_less;
  if (space_mib) settings.private_space_mib = *space_mib;
  guard->configure(settings);
  Py_RETURN_NONE;
}

// Sets `key` of `dict` to `value` (stolen). Returns false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* pool_containment_impl(SharedUserPool& pool) {
  const ContainmentSettings settings = pool->lock()->settings();
  const ContainmentReport report = probe_containment(settings);
  PyRef result = PyRef::steal(PyDict_New());
  PyRef given = PyRef::steal(PyDict_New());
  PyRef chosen = PyRef::steal(PyDict_New());
  if (!result || !given || !chosen) return nullptr;
  const WorldLayers& l = report.layers;
  const bool ok =
      put(chosen.get(), "cut_network", PyBool_FromLong(settings.cut_network)) &&
      put(chosen.get(), "accept_less", PyBool_FromLong(settings.accept_less)) &&
      put(chosen.get(), "private_space_mib", new_int(settings.private_space_mib)) &&
      put(given.get(), "no_new_privileges", PyBool_FromLong(1)) &&
      put(given.get(), "mount_namespace", PyBool_FromLong(l.mount_namespace)) &&
      put(given.get(), "read_only_host", PyBool_FromLong(l.read_only_host)) &&
      put(given.get(), "private_places", PyBool_FromLong(l.private_places)) &&
      put(given.get(), "private_proc", PyBool_FromLong(l.private_proc)) &&
      put(given.get(), "ipc_namespace", PyBool_FromLong(l.ipc_namespace)) &&
      put(given.get(), "network_namespace", PyBool_FromLong(l.network_namespace)) &&
      put(result.get(), "settings", chosen.release()) &&
      put(result.get(), "layers", given.release()) &&
      put(result.get(), "missing", report.error.empty() ? (Py_INCREF(Py_None), Py_None) : new_str(report.error));
  if (!ok) return nullptr;
  return result.release();
}

PyObject* pool_allocate_impl(SharedUserPool& pool) {
  auto user = alloc_user(pool);
  if (!user) return raise_value_error(user.error());
  return new_py_user(std::move(user).value());
}

constinit const Signature kConfigureSignature{
    "PyUserPool", "configure", {"cut_network", "accept_less", "private_space_mib"}, 0, 0};

PyMethodDef g_methods[] = {
    method_without_args("allocate", noargs_method<SharedUserPool, pool_allocate_impl>,
                        kAllocateDoc),
    method_with_args("configure",
                     fastcall_method<SharedUserPool, kConfigureSignature, pool_configure_impl>,
                     kConfigureDoc),
    method_without_args("containment", noargs_method<SharedUserPool, pool_containment_impl>,
                        kContainmentDoc),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

PyClass& py_user_pool_class() {
  static PyClass instance(ClassSpec{
      .name = "PyUserPool",
      .qualified_name = "moxtile.PyUserPool",
      .doc = kClassDoc,
      .basicsize = sizeof(PoolObject),
      .dealloc = &destroy_instance<SharedUserPool>,
      .methods = g_methods,
      .constructor = &pool_new,
  });
  return instance;
}

}  // namespace moxtile::py
