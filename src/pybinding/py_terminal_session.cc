#include "pybinding/py_terminal_session.h"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "base/panic.h"
#include "base/poisonable_mutex.h"

namespace moxtile::py {
namespace {

using SessionCell = PoisonableMutex<std::unique_ptr<TerminalSession>>;
using SessionObject = Instance<SessionCell>;

constexpr std::uint64_t kDefaultReadSize = 1024;
// Largest size a bytes object can have; anything above cannot be allocated.
constexpr std::uint64_t kMaxBytesSize =
    static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject);

constexpr const char kClassDoc[] =
    "\nA class that represents a terminal session for a user.\n\nThis class represents a unique "
    "terminal session for a user. The terminal\nsession will automatically create a new user "
    "account when the session is\ncreated. The terminal session will also release the user "
    "account back to\nthe pool when the session is dropped.\n";

constexpr const char kCloseDoc[] = "close($self)\n--\n\n\nClose the terminal session.\n";
constexpr const char kWriteDoc[] =
    "write($self, data)\n--\n\n\nWrite data to the terminal session.\n";
constexpr const char kReadDoc[] =
    "read($self, buffer=None)\n--\n\n\nRead data from the terminal session.\n";
constexpr const char kReadErrDoc[] =
    "read_err($self, buffer=None)\n--\n\n\nRead data from the stderr of the terminal session.\n";

using ReadFn = TermResult<std::size_t> (TerminalSession::*)(std::span<std::uint8_t>);

// read() and read_err(): one read of at most `buffer` bytes (1024 if not given),
// straight into the bytes object that is returned, which is then shrunk to
// what arrived.
PyObject* read_into_bytes(SessionCell& cell, const Args& a, ReadFn read) {
  std::optional<std::uint64_t> requested;
  if (!a.optional_u64(0, requested)) return nullptr;
  const std::uint64_t size = requested.value_or(kDefaultReadSize);
  if (size > kMaxBytesSize) return PyErr_NoMemory();
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return nullptr;
  const std::span<std::uint8_t> buffer(
      reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size);
  TermResult<std::size_t> count = cell.with_lock(
      [&](std::unique_ptr<TerminalSession>& session) { return ((*session).*read)(buffer); });
  if (!count) return raise_value_error(count.error());
  if (count.value() == size) return bytes.release();
  PyObject* resized = bytes.release();
  if (_PyBytes_Resize(&resized, static_cast<Py_ssize_t>(count.value())) < 0) return nullptr;
  return resized;
}

PyObject* session_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constinit Signature signature{"PyTerminalSession", "read", {"buffer"}, 0};
  return call_method<SessionCell>(signature, self, args, nargs, kwnames,
                                  [](SessionCell& cell, const Args& a) -> PyObject* {
                                    return read_into_bytes(cell, a, &TerminalSession::read_stdout);
                                  });
}

PyObject* session_read_err(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constinit Signature signature{"PyTerminalSession", "read_err", {"buffer"}, 0};
  return call_method<SessionCell>(signature, self, args, nargs, kwnames,
                                  [](SessionCell& cell, const Args& a) -> PyObject* {
                                    return read_into_bytes(cell, a, &TerminalSession::read_stderr);
                                  });
}

PyObject* session_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constinit Signature signature{"PyTerminalSession", "write", {"data"}, 1};
  return call_method<SessionCell>(
      signature, self, args, nargs, kwnames, [](SessionCell& cell, const Args& a) -> PyObject* {
        std::span<const std::uint8_t> data;
        if (!a.bytes(0, data)) return nullptr;
        TermResult<void> written = cell.with_lock(
            [&](std::unique_ptr<TerminalSession>& session) { return session->write(data); });
        if (!written) return raise_value_error(written.error());
        Py_RETURN_NONE;
      });
}

PyObject* session_close(PyObject* self, PyObject*) {
  return call_noargs<SessionCell>(self, [](SessionCell& cell) -> PyObject* {
    cell.with_lock([](std::unique_ptr<TerminalSession>& session) { session->close(); });
    Py_RETURN_NONE;
  });
}

// Closes the session before it is destroyed, so that a failed kill reaches the
// unraisable hook as a PanicException; dropping the session then drops its
// share of the User, which may release the account.
void session_dealloc(PyObject* self) noexcept {
  SessionCell& cell = SessionObject::of(self).core;
  try {
    cell.with_lock_ignoring_poison([](std::unique_ptr<TerminalSession>& session) { session->close(); });
  } catch (const Panic& panic) {
    report_unraisable_panic(Py_TYPE(self), panic.message());
  } catch (...) {
    report_unraisable_panic(Py_TYPE(self), "unknown internal error while closing a terminal session");
  }
  destroy_instance<SessionCell>(self);
}

PyMethodDef g_methods[] = {
    method_without_args("close", session_close, kCloseDoc),
    method_with_args("write", session_write, kWriteDoc),
    method_with_args("read", session_read, kReadDoc),
    method_with_args("read_err", session_read_err, kReadErrDoc),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyClass& py_terminal_session_class() {
  static PyClass instance(ClassSpec{
      .name = "PyTerminalSession",
      .qualified_name = "moxtile.PyTerminalSession",
      .doc = kClassDoc,
      .basicsize = sizeof(SessionObject),
      .methods = g_methods,
      .constructor = nullptr,
      .dealloc = &session_dealloc,
      .extra_slots = {},
      .after_create = nullptr,
  });
  return instance;
}

PyObject* new_py_terminal_session(std::unique_ptr<TerminalSession> session) {
  return new_instance<SessionCell>(py_terminal_session_class().require(), std::move(session));
}

}  // namespace moxtile::py
