#include "pybinding/py_term.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/poisonable_mutex.h"
#include "pybinding/errors.h"
#include "pybinding/py_fs.h"
#include "pybinding/results.h"
#include "terminal/simple_terminal.h"

namespace moxtile::py {
namespace {

using TermCell = PoisonableMutex<SimpleTerminal>;
using TermObject = Instance<TermCell>;

constexpr const char kClassDoc[] =
    "PyTerm(fs)\n--\n\n\nA structure representing a simple terminal\n";
constexpr const char kExecDoc[] =
    "exec($self, command)\n--\n\n\nExecute a command in the terminal.\n";

PyObject* term_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constinit Signature signature{"PyTerm", "__new__", {"fs"}, 1};
  return guarded([&]() -> PyObject* {
    Args matched(signature);
    if (!match_tuple(args, kwargs, matched)) return nullptr;
    std::shared_ptr<FileSystem> fs;
    if (!fs_from_arg(matched, 0, fs)) return nullptr;
    return new_instance<TermCell>(type, std::move(fs));
  });
}

constinit Signature g_exec_signature{"PyTerm", "exec", {"command"}, 1};

PyObject* term_exec_impl(TermCell& cell, const Args& a) {
  std::string_view command;
  if (!a.text(0, command)) return nullptr;
  const TermResult<std::string> result =
      cell.with_lock([&](SimpleTerminal& term) { return term.run(command); });
  if (!result) return raise_value_error(result.error());
  return new_str(result.value());
}

PyMethodDef g_methods[] = {
    method_with_args("exec", fastcall_method<TermCell, g_exec_signature, term_exec_impl>, kExecDoc),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

PyClass& py_term_class() {
  static PyClass instance(ClassSpec{
      .name = "PyTerm",
      .qualified_name = "moxtile.PyTerm",
      .doc = kClassDoc,
      .basicsize = sizeof(TermObject),
      .dealloc = &destroy_instance<TermCell>,
      .methods = g_methods,
      .constructor = &term_new,
  });
  return instance;
}

}  // namespace moxtile::py
