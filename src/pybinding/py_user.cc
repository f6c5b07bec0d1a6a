#include "pybinding/py_user.h"

#include <string>
#include <utility>

#include "pool/account/tenancy.h"
#include "pool/account/terminal_session.h"
#include "pybinding/py_terminal_session.h"
#include "pybinding/results.h"

namespace moxtile::py {
namespace {

using UserObject = Instance<SharedUser>;

constexpr const char kClassDoc[] =
    "\nA class that represents a user account in the pool.\n\nThis class represents a user "
    "account in the pool. The user account can\nbe used to create a new terminal session. The "
    "user account will be\nreleased back to the pool when the session is dropped.\n";

constexpr const char kSpawnDoc[] =
    "spawn($self)\n--\n\n\nSpawn a new terminal session for the user.\n\nThis function spawns a "
    "new terminal session for the user. The terminal\nsession can be used to interact with the "
    "terminal. The function will\nreturn an error if the terminal session could not be "
    "spawned.\n";
constexpr const char kUsernameDoc[] = "username($self)\n--\n\n\nGet the username of the user.\n";
constexpr const char kUidDoc[] = "uid($self)\n--\n\n\nGet the UID of the user.\n";
constexpr const char kHomeDoc[] = "home($self)\n--\n\n\nGet the home folder of the user.\n";

PyObject* user_spawn_impl(SharedUser& user) {
  auto session = spawn_terminal(user);
  if (!session) return raise_value_error(session.error());
  return new_py_terminal_session(std::move(session).value());
}

PyObject* user_username_impl(SharedUser& user) {
  const std::string name = user->lock()->username();
  return new_str(name);
}

PyObject* user_uid_impl(SharedUser& user) { return new_int(user->lock()->uid()); }

PyObject* user_home_impl(SharedUser& user) {
  const std::string home = user->lock()->home();
  return new_str(home);
}

constexpr const char kUsageDoc[] =
    "usage($self, /)\n--\n\n"
    "Report what the account's tenancy has used so far.\n\n"
    "Returns a dict: \"cpu_seconds\" (float, user plus system), \"memory_bytes\"\n"
    "(now, private places included), \"memory_peak_bytes\", \"processes\"\n"
    "(processes plus threads now) and \"oom_kills\" (processes the OOM killer\n"
    "ended inside the tenancy).\n";

PyObject* user_usage_impl(SharedUser& user) {
  SharedTenancy tenancy = user->lock()->tenancy();
  auto usage = tenancy_usage(tenancy.get());
  if (!usage) return raise_value_error(usage.error());
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  const bool ok = set_item(result.get(), "cpu_seconds",
                           PyFloat_FromDouble(static_cast<double>(usage->cpu_usec) / 1e6)) &&
                  set_item(result.get(), "memory_bytes", new_int(usage->memory_bytes)) &&
                  set_item(result.get(), "memory_peak_bytes", new_int(usage->memory_peak_bytes)) &&
                  set_item(result.get(), "processes", new_int(usage->tasks)) &&
                  set_item(result.get(), "oom_kills", new_int(usage->oom_kills));
  if (!ok) return nullptr;
  return result.release();
}

PyObject* user_str_impl(SharedUser& user) {
  std::string text;
  {
    auto guard = user->lock();
    text = "{ username: " + guard->username() + ", uid: " + std::to_string(guard->uid()) +
           ", home: " + guard->home() + " }";
  }
  return new_str(text);
}

PyMethodDef g_methods[] = {
    method_without_args("spawn", noargs_method<SharedUser, user_spawn_impl>, kSpawnDoc),
    method_without_args("username", noargs_method<SharedUser, user_username_impl>, kUsernameDoc),
    method_without_args("uid", noargs_method<SharedUser, user_uid_impl>, kUidDoc),
    method_without_args("home", noargs_method<SharedUser, user_home_impl>, kHomeDoc),
    method_without_args("usage", noargs_method<SharedUser, user_usage_impl>, kUsageDoc),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

const PyType_Slot g_slots[] = {
    {Py_tp_str, reinterpret_cast<void*>(&unary_slot<SharedUser, user_str_impl>)},
};

}  // namespace

PyClass& py_user_class() {
  static PyClass instance(ClassSpec{
      .name = "PyUser",
      .qualified_name = "moxtile.PyUser",
      .doc = kClassDoc,
      .basicsize = sizeof(UserObject),
      .dealloc = &destroy_instance<SharedUser>,
      .methods = g_methods,
      .extra_slots = g_slots,
  });
  return instance;
}

void report_release_failure(const Panic& error) noexcept {
  report_unraisable_panic(py_user_class().type(), error.message());
}

PyObject* new_py_user(SharedUser user) {
  return new_instance<SharedUser>(py_user_class().require(), std::move(user));
}

}  // namespace moxtile::py
