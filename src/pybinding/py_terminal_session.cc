#include "pybinding/py_terminal_session.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/panic.h"
#include "base/poisonable_mutex.h"
#include "pybinding/results.h"

namespace moxtile::py {
namespace {

using SessionCell = PoisonableMutex<std::unique_ptr<TerminalSession>>;
using SessionObject = Instance<SessionCell>;

constexpr std::uint64_t kDefaultReadSize = 1024;

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
constexpr const char kFilenoDoc[] =
    "fileno($self)\n--\n\n\nThe file descriptor the session's output arrives on.\n\nFor "
    "waiting with a deadline: select.select([session], [], [], timeout),\nselectors or "
    "asyncio's loop.add_reader wait without holding the\ninterpreter, and read() afterwards "
    "returns at once. The descriptor stays\nthe session's: do not close it or read from it "
    "directly.\n";
constexpr const char kReadErrDoc[] =
    "read_err($self, buffer=None)\n--\n\n\nRead data from the stderr of the terminal session.\n";

using ReadFn = TermResult<std::size_t> (TerminalSession::*)(std::span<std::uint8_t>);

// read() and read_err(): one read of at most `buffer` bytes (1024 if not
// given), straight into the bytes object that is returned, which is then
// shrunk to what arrived.
PyObject* read_into_bytes(SessionCell& cell, const Args& a, ReadFn read) {
  std::optional<std::uint64_t> requested;
  if (!a.optional_u64(0, requested)) return nullptr;
  return new_bytes_filled(requested.value_or(kDefaultReadSize),
                          [&](std::span<std::uint8_t> buffer) -> std::optional<std::size_t> {
                            TermResult<std::size_t> count =
                                cell.with_lock([&](std::unique_ptr<TerminalSession>& session) {
                                  return ((*session).*read)(buffer);
                                });
                            if (!count) {
                              raise_value_error(count.error());
                              return std::nullopt;
                            }
                            return count.value();
                          });
}

constinit Signature g_read_signature{"PyTerminalSession", "read", {"buffer"}, 0};

PyObject* session_read_impl(SessionCell& cell, const Args& a) {
  return read_into_bytes(cell, a, &TerminalSession::read_stdout);
}

constinit Signature g_read_err_signature{"PyTerminalSession", "read_err", {"buffer"}, 0};

PyObject* session_read_err_impl(SessionCell& cell, const Args& a) {
  return read_into_bytes(cell, a, &TerminalSession::read_stderr);
}

constinit Signature g_write_signature{"PyTerminalSession", "write", {"data"}, 1};

PyObject* session_write_impl(SessionCell& cell, const Args& a) {
  std::span<const std::uint8_t> data;
  if (!a.bytes(0, data)) return nullptr;
  TermResult<void> written = cell.with_lock(
      [&](std::unique_ptr<TerminalSession>& session) { return session->write(data); });
  if (!written) return raise_value_error(written.error());
  Py_RETURN_NONE;
}

PyObject* session_fileno_impl(SessionCell& cell) {
  const std::optional<int> fd = cell.with_lock(
      [](std::unique_ptr<TerminalSession>& session) { return session->stdout_fd(); });
  if (!fd) return raise_value_error("The process is None");
  return PyLong_FromLong(*fd);
}

PyObject* session_close_impl(SessionCell& cell) {
  cell.with_lock([](std::unique_ptr<TerminalSession>& session) { session->close(); });
  Py_RETURN_NONE;
}

// Closes the session before it is destroyed, so that a failed kill reaches the
// unraisable hook as a PanicException; dropping the session then drops its
// share of the User, which may release the account.
void session_dealloc(PyObject* self) noexcept {
  close_then_destroy<std::unique_ptr<TerminalSession>>(
      self, "unknown internal error while closing a terminal session",
      [](std::unique_ptr<TerminalSession>& session) {
        session->close();
        return std::string();
      });
}

PyMethodDef g_methods[] = {
    method_without_args("close", noargs_method<SessionCell, session_close_impl>, kCloseDoc),
    method_with_args("write", fastcall_method<SessionCell, g_write_signature, session_write_impl>,
                     kWriteDoc),
    method_with_args("read", fastcall_method<SessionCell, g_read_signature, session_read_impl>,
                     kReadDoc),
    method_without_args("fileno", noargs_method<SessionCell, session_fileno_impl>, kFilenoDoc),
    method_with_args("read_err",
                     fastcall_method<SessionCell, g_read_err_signature, session_read_err_impl>,
                     kReadErrDoc),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

PyClass& py_terminal_session_class() {
  static PyClass instance(ClassSpec{
      .name = "PyTerminalSession",
      .qualified_name = "moxtile.PyTerminalSession",
      .doc = kClassDoc,
      .basicsize = sizeof(SessionObject),
      .dealloc = &session_dealloc,
      .methods = g_methods,
  });
  return instance;
}

PyObject* new_py_terminal_session(std::unique_ptr<TerminalSession> session) {
  return new_instance<SessionCell>(py_terminal_session_class().require(), std::move(session));
}

}  // namespace moxtile::py
