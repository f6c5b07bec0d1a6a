// PyTerminalSession: the Python class of one shell session as a pool account.
//
// An instance holds its TerminalSession behind a PoisonableMutex of its own,
// held for the whole of each call, a blocking read or write included (with the
// interpreter lock held: no method releases it). Destroying the object closes
// the session (kills and reaps `su`), then drops its share of the User.
#pragma once

#include <memory>

#include "pool/account/terminal_session.h"
#include "pybinding/py_class.h"

namespace moxtile::py {

PyClass& py_terminal_session_class();

// Wraps `session` in a new PyTerminalSession. Returns a new reference, or
// nullptr with an exception set (then `session` is closed and dropped).
PyObject* new_py_terminal_session(std::unique_ptr<TerminalSession> session);

}  // namespace moxtile::py
