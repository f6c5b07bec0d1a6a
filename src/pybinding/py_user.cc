#include "pybinding/py_user.h"

#include <string>
#include <utility>

#include "pool/fatal_error_sink.h"
#include "pool/terminal_session.h"
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

PyTypeObject* g_user_type = nullptr;  // set once with the type, under the interpreter lock

// A fatal error while an account is released (the last PyUser or
// PyTerminalSession of it being freed, interpreter lock held) cannot be
// raised: it goes to the unraisable hook.
void report_release_failure(const Panic& error) noexcept {
  report_unraisable_panic(g_user_type, error.message());
}

int after_create(PyTypeObject* type) {
  g_user_type = type;
  set_fatal_error_sink(&report_release_failure);
  return 0;
}

PyObject* user_spawn(PyObject* self, PyObject*) {
  return call_noargs<SharedUser>(self, [](SharedUser& user) -> PyObject* {
    auto session = spawn_terminal(user);
    if (!session) return raise_value_error(session.error());
    return new_py_terminal_session(std::move(session).value());
  });
}

PyObject* user_username(PyObject* self, PyObject*) {
  return call_noargs<SharedUser>(self, [](SharedUser& user) -> PyObject* {
    const std::string name = user->lock()->username();
    return new_str(name);
  });
}

PyObject* user_uid(PyObject* self, PyObject*) {
  return call_noargs<SharedUser>(self, [](SharedUser& user) -> PyObject* {
    return new_int(user->lock()->uid());
  });
}

PyObject* user_home(PyObject* self, PyObject*) {
  return call_noargs<SharedUser>(self, [](SharedUser& user) -> PyObject* {
    const std::string home = user->lock()->home();
    return new_str(home);
  });
}

PyObject* user_str(PyObject* self) {
  return call_noargs<SharedUser>(self, [](SharedUser& user) -> PyObject* {
    std::string text;
    {
      auto guard = user->lock();
      text = "{ username: " + guard->username() + ", uid: " + std::to_string(guard->uid()) +
             ", home: " + guard->home() + " }";
    }
    return new_str(text);
  });
}

PyMethodDef g_methods[] = {
    method_without_args("spawn", user_spawn, kSpawnDoc),
    method_without_args("username", user_username, kUsernameDoc),
    method_without_args("uid", user_uid, kUidDoc),
    method_without_args("home", user_home, kHomeDoc),
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot g_slots[] = {
    {Py_tp_str, reinterpret_cast<void*>(&user_str)},
};

}  // namespace

PyClass& py_user_class() {
  static PyClass instance(ClassSpec{
      .name = "PyUser",
      .qualified_name = "moxtile.PyUser",
      .doc = kClassDoc,
      .basicsize = sizeof(UserObject),
      .methods = g_methods,
      .constructor = nullptr,
      .dealloc = &dealloc_instance<SharedUser>,
      .extra_slots = g_slots,
      .after_create = &after_create,
  });
  return instance;
}

PyObject* new_py_user(SharedUser user) {
  return new_instance<SharedUser>(py_user_class().require(), std::move(user));
}

}  // namespace moxtile::py
