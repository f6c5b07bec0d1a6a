// Running one function in a thread made for it, and waiting for it.
//
// Credentials that Linux keeps per thread (namespaces, the session keyring,
// no-new-privileges, a v1 cgroup) are set in such a thread and passed on to
// the children it starts, while the caller's own threads keep theirs. The
// thread ends with the function, and what it changed ends with it.
// Thread-safe: no shared state.
#pragma once

#include <errno.h>

#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "pool/posix/sys_result.h"

namespace moxtile {

// Runs fn() in a new thread, waits for it and returns what it returned. An
// exception it throws is thrown again here. Fails with EAGAIN (step "start a
// thread") when no thread can be had.
template <class F>
auto in_own_thread(F fn) -> decltype(fn()) {
  using Result = decltype(fn());
  std::optional<Result> result;
  std::exception_ptr thrown;
  try {
    std::thread worker([&] {
      try {
        result.emplace(fn());
      } catch (...) {
        thrown = std::current_exception();
      }
    });
    worker.join();
  } catch (const std::system_error& e) {
    return sys_error(e.code().value() != 0 ? e.code().value() : EAGAIN, "start a thread");
  }
  if (thrown) std::rethrow_exception(thrown);
  // NOLINTNEXTLINE(bugprone-unchecked-optional-access): the worker set it or threw, rethrown above
  return std::move(*result);
}

}  // namespace moxtile
