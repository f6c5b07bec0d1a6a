// PyUser: the Python class of one account handed out by a PyUserPool.
//
// An instance holds a shared reference to the mutex-guarded User; every
// PyTerminalSession spawned from it holds another. When the last holder goes,
// the account is released (its processes stopped, the account back on the
// pool's idle list) on the thread that drops it, with the interpreter lock held.
#pragma once

#include "base/panic.h"
#include "pool/account/user.h"
#include "pybinding/py_class.h"

namespace moxtile::py {

PyClass& py_user_class();

// The fatal-error sink of the pool layer while the module is loaded: a fatal
// error while an account is released (the last PyUser or PyTerminalSession
// of it being freed, interpreter lock held) cannot be raised, so it goes to
// the unraisable hook as a PanicException, reported against the PyUser type.
void report_release_failure(const Panic& error) noexcept;

// Wraps `user` in a new PyUser. Returns a new reference, or nullptr with an
// exception set (then `user` is dropped, which may release the account).
PyObject* new_py_user(SharedUser user);

}  // namespace moxtile::py
