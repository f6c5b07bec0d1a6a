#include "pybinding/py_user_pool.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "pool/account/lifecycle.h"
#include "pool/account/user_pool.h"
#include "pybinding/py_user.h"

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

PyObject* pool_allocate_impl(SharedUserPool& pool) {
  auto user = alloc_user(pool);
  if (!user) return raise_value_error(user.error());
  return new_py_user(std::move(user).value());
}

PyMethodDef g_methods[] = {
    method_without_args("allocate", noargs_method<SharedUserPool, pool_allocate_impl>,
                        kAllocateDoc),
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
