// Where a fatal error goes when it arises in a destructor of this subsystem.
//
// Releasing an account (User's destructor) and closing a session on
// destruction can meet a fatal error (a poisoned pool lock, a failed kill)
// where nothing can be thrown. Such a Panic is handed to the sink, which the
// embedding layer may replace (the Python module routes it to its
// unraisable-exception hook); by default its message goes to standard error.
// Thread-safe: the sink is an atomic function pointer.
#pragma once

#include "base/panic.h"

namespace moxtile {

using FatalErrorSink = void (*)(const Panic&) noexcept;

// Installs `sink` (nullptr restores the default) and returns the previous one.
FatalErrorSink set_fatal_error_sink(FatalErrorSink sink) noexcept;

// Hands `error` to the current sink.
void report_fatal_error(const Panic& error) noexcept;

}  // namespace moxtile
