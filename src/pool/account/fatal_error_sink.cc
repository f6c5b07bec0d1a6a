#include "pool/account/fatal_error_sink.h"

#include <atomic>
#include <cstdio>

namespace moxtile {
namespace {

// A failed write to stderr has nowhere left to be reported.
void print_to_stderr(const Panic& error) noexcept {
  static_cast<void>(std::fprintf(stderr, "%s\n", error.what()));
}

std::atomic<FatalErrorSink> g_sink{&print_to_stderr};

}  // namespace

FatalErrorSink set_fatal_error_sink(FatalErrorSink sink) noexcept {
  return g_sink.exchange(sink != nullptr ? sink : &print_to_stderr);
}

void report_fatal_error(const Panic& error) noexcept { g_sink.load()(error); }

}  // namespace moxtile
