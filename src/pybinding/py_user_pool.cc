#include "pybinding/py_user_pool.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "pool/account/containment.h"
#include "pool/account/lifecycle.h"
#include "pool/account/user_pool.h"
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
    "configure($self, /, *, cut_network=None, accept_less=None, private_space_mib=None,\n"
    "          max_tasks=None, max_memory_mib=None, all_tenants_memory_mib=None,\n"
    "          tenants_cpu_weight=None, cpu_quota_cores=None, max_file_mib=None,\n"
    "          core_dumps=None)\n--\n\n"
    "Set how the accounts handed out from now on are contained.\n\n"
    "Every argument is optional; one left out or None keeps its setting.\n"
    "cut_network: True gives each tenancy a network of its own holding only\n"
    "    loopback, so nothing of the host's network is reachable (default False).\n"
    "accept_less: True hands accounts out even where the host cannot give a\n"
    "    containment layer or a cgroup, which is then left out; False (the\n"
    "    default) makes such an allocation fail, naming what is missing.\n"
    "private_space_mib: the size limit, in MiB, of each of the tenancy's private\n"
    "    /tmp, /var/tmp, /dev/shm and /run/lock (default 2048).\n"
    "max_tasks: processes plus threads per tenancy (default 1024; 0: no limit).\n"
    "max_memory_mib: memory per tenancy in MiB, its private places included;\n"
    "    past it the kernel kills inside the tenancy (0, the default: as much as\n"
    "    all_tenants_memory_mib).\n"
    "all_tenants_memory_mib: memory of all tenancies together in MiB (0, the\n"
    "    default: the host's memory less an eighth of it, at least 1 GiB).\n"
    "tenants_cpu_weight: the CPU weight of all tenancies together against 100\n"
    "    for the harness, 1 to 10000 (default 10).\n"
    "cpu_quota_cores: a hard CPU cap per tenancy, in cores (0, the default: none).\n"
    "max_file_mib: the largest file a tenant may write, in MiB (0, the default:\n"
    "    no limit).\n"
    "core_dumps: whether tenant processes may dump core (default False).\n";

constexpr const char kContainmentDoc[] =
    "containment($self, /)\n--\n\n"
    "Report the containment settings and the layers the host gives.\n\n"
    "Returns a dict: \"settings\" (as configure() takes them, defaults resolved),\n"
    "\"layers\" (each layer's name and whether a tenancy made now gets it),\n"
    "\"cgroup\" (\"v2\", \"v1\" or \"none\": the cgroups the host gives) and \"missing\"\n"
    "(why a tenancy cannot be made now, or None).\n";

enum ConfigureParam : std::size_t {
  kCutNetwork,
  kAcceptLess,
  kPrivateSpace,
  kMaxTasks,
  kMaxMemory,
  kAllMemory,
  kCpuWeight,
  kCpuQuota,
  kMaxFile,
  kCoreDumps,
};

// Converts argument `i` into `field` when it was given. Returns false with
// an exception set.
bool take_flag(const Args& args, std::size_t i, bool& field) {
  std::optional<bool> value;
  if (!args.optional_flag(i, value)) return false;
  if (value) field = *value;
  return true;
}

template <class Number>
bool take_number(const Args& args, std::size_t i, Number& field, std::uint64_t low,
                 std::uint64_t high) {
  std::optional<std::uint64_t> value;
  if (!args.optional_u64(i, value)) return false;
  if (!value) return true;
  if (*value < low || *value > high) {
    raise_value_error(std::string(args.name(i)) + " must be between " + std::to_string(low) +
                      " and " + std::to_string(high));
    return false;
  }
  field = static_cast<Number>(*value);
  return true;
}

constexpr std::uint64_t kMaxMib = std::uint64_t{1} << 40;

PyObject* pool_configure_impl(SharedUserPool& pool, const Args& args) {
  ContainmentSettings settings = pool->lock()->settings();
  std::optional<double> quota;
  if (!take_flag(args, kCutNetwork, settings.cut_network) ||
      !take_flag(args, kAcceptLess, settings.accept_less) ||
      !take_number(args, kPrivateSpace, settings.private_space_mib, 1, kMaxMib) ||
      !take_number(args, kMaxTasks, settings.max_tasks, 0, std::uint64_t{1} << 32) ||
      !take_number(args, kMaxMemory, settings.max_memory_mib, 0, kMaxMib) ||
      !take_number(args, kAllMemory, settings.all_tenants_memory_mib, 0, kMaxMib) ||
      !take_number(args, kCpuWeight, settings.tenants_cpu_weight, 1, 10000) ||
      !args.optional_real(kCpuQuota, quota) ||
      !take_number(args, kMaxFile, settings.max_file_mib, 0, kMaxMib) ||
      !take_flag(args, kCoreDumps, settings.core_dumps)) {
    return nullptr;
  }
  if (quota) {
    if (!(*quota >= 0.0 && *quota <= 65536.0)) {
      return raise_value_error("cpu_quota_cores must be between 0 and 65536");
    }
    settings.cpu_quota_millicores = static_cast<std::uint64_t>(std::llround(*quota * 1000.0));
  }
  pool->lock()->configure(settings);
  Py_RETURN_NONE;
}

PyObject* pool_containment_impl(SharedUserPool& pool) {
  const ContainmentSettings s = pool->lock()->settings();
  const ContainmentReport report = probe_containment(s);
  const CgroupLimits tenancy = tenancy_cgroup_limits(s);
  const CgroupLimits all = parent_cgroup_limits(s);
  PyRef result = PyRef::steal(PyDict_New());
  PyRef given = PyRef::steal(PyDict_New());
  PyRef chosen = PyRef::steal(PyDict_New());
  if (!result || !given || !chosen) return nullptr;
  const WorldLayers& l = report.layers;
  const bool ok =
      set_item(chosen.get(), "cut_network", new_bool(s.cut_network)) &&
      set_item(chosen.get(), "accept_less", new_bool(s.accept_less)) &&
      set_item(chosen.get(), "private_space_mib", new_int(s.private_space_mib)) &&
      set_item(chosen.get(), "max_tasks", new_int(s.max_tasks)) &&
      set_item(chosen.get(), "max_memory_mib", new_int(tenancy.max_memory_bytes >> 20)) &&
      set_item(chosen.get(), "all_tenants_memory_mib", new_int(all.max_memory_bytes >> 20)) &&
      set_item(chosen.get(), "tenants_cpu_weight", new_int(s.tenants_cpu_weight)) &&
      set_item(chosen.get(), "cpu_quota_cores",
               PyFloat_FromDouble(static_cast<double>(s.cpu_quota_millicores) / 1000.0)) &&
      set_item(chosen.get(), "max_file_mib", new_int(s.max_file_mib)) &&
      set_item(chosen.get(), "core_dumps", new_bool(s.core_dumps)) &&
      set_item(given.get(), "no_new_privileges", new_bool(true)) &&
      set_item(given.get(), "mount_namespace", new_bool(l.mount_namespace)) &&
      set_item(given.get(), "read_only_host", new_bool(l.read_only_host)) &&
      set_item(given.get(), "private_places", new_bool(l.private_places)) &&
      set_item(given.get(), "private_proc", new_bool(l.private_proc)) &&
      set_item(given.get(), "ipc_namespace", new_bool(l.ipc_namespace)) &&
      set_item(given.get(), "network_namespace", new_bool(l.network_namespace)) &&
      set_item(given.get(), "cgroup", new_bool(report.cgroup != CgroupKind::kNone)) &&
      set_item(result.get(), "settings", chosen.release()) &&
      set_item(result.get(), "layers", given.release()) &&
      set_item(result.get(), "cgroup", new_str(cgroup_kind_name(report.cgroup))) &&
      set_item(result.get(), "missing",
               report.error.empty() ? (Py_INCREF(Py_None), Py_None) : new_str(report.error));
  if (!ok) return nullptr;
  return result.release();
}

PyObject* pool_allocate_impl(SharedUserPool& pool) {
  auto user = alloc_user(pool);
  if (!user) return raise_value_error(user.error());
  return new_py_user(std::move(user).value());
}

constinit const Signature kConfigureSignature{
    "PyUserPool",
    "configure",
    {"cut_network", "accept_less", "private_space_mib", "max_tasks", "max_memory_mib",
     "all_tenants_memory_mib", "tenants_cpu_weight", "cpu_quota_cores", "max_file_mib",
     "core_dumps"},
    0,
    0};

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
