// Raw system calls: the kernel entered directly, the result returned as the
// value or -errno, and nothing else touched (no errno, no thread-local
// storage, no lock, no sanitizer runtime). For code that runs where the C
// library must not: in a child that shares the caller's memory and its
// thread pointer (memory_sharing_child.h).
//
// Thread-safe: the calls share no state. Given on x86_64 and aarch64 only
// (MOXTILE_HAS_RAW_SYSCALL); elsewhere raw_syscall goes through the C library
// and writes errno, which a forked child may do.
#pragma once

#if defined(__x86_64__) || defined(__aarch64__)
#define MOXTILE_HAS_RAW_SYSCALL 1
#else
#define MOXTILE_HAS_RAW_SYSCALL 0
#include <errno.h>
#include <unistd.h>
#endif

// Marks code that may run in a child sharing the caller's memory: sanitizer
// instrumentation would write the runtime state of the thread that started it.
#if defined(__clang__) || defined(__GNUC__)
#define MOXTILE_UNINSTRUMENTED __attribute__((no_sanitize("address", "thread", "undefined")))
#define MOXTILE_RAW_INLINE MOXTILE_UNINSTRUMENTED __attribute__((always_inline)) inline
#else
#define MOXTILE_UNINSTRUMENTED
#define MOXTILE_RAW_INLINE inline
#endif

namespace moxtile {

// System call `number` with up to five arguments. Returns the kernel's result:
// -errno (between -4095 and -1) on failure.
MOXTILE_RAW_INLINE long raw_syscall(long number, long a = 0, long b = 0, long c = 0, long d = 0,
                                    long e = 0) noexcept {
#if defined(__x86_64__)
  long result;
  register long r10 __asm__("r10") = d;
  register long r8 __asm__("r8") = e;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8)
                   : "rcx", "r11", "memory");
  return result;
#elif defined(__aarch64__)
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  register long x3 __asm__("x3") = d;
  register long x4 __asm__("x4") = e;
  __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4) : "memory");
  return x0;
#else
  const long result = ::syscall(number, a, b, c, d, e);
  return result < 0 ? -errno : result;
#endif
}

// The errno of a failed raw_syscall, or 0.
MOXTILE_RAW_INLINE int raw_failure(long result) noexcept {
  return result < 0 && result > -4096 ? static_cast<int>(-result) : 0;
}

}  // namespace moxtile
