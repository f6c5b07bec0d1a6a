#include "pool/posix/memory_sharing_child.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <mutex>

#include "pool/posix/unique_fd.h"

namespace moxtile {
namespace {

constexpr std::size_t kStackBytes = std::size_t{64} << 10;

// The child's stack, with a guard page below it (stacks grow down).
class ChildStack final {
 public:
  ChildStack() noexcept
      : guard_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))),
        base_(::mmap(nullptr, guard_ + kStackBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0)) {
    if (base_ != MAP_FAILED && ::mprotect(base_, guard_, PROT_NONE) != 0) {
      const int err = errno;
      ::munmap(base_, guard_ + kStackBytes);
      base_ = MAP_FAILED;
      errno = err;
    }
  }
  ~ChildStack() {
    if (base_ != MAP_FAILED && !leaked_) ::munmap(base_, guard_ + kStackBytes);
  }
  ChildStack(const ChildStack&) = delete;
  ChildStack& operator=(const ChildStack&) = delete;

  bool valid() const noexcept { return base_ != MAP_FAILED; }
  void* top() const noexcept { return static_cast<char*>(base_) + guard_ + kStackBytes; }
  // For a child that may still be running on it.
  void leak() noexcept { leaked_ = true; }

 private:
  std::size_t guard_;
  void* base_;
  bool leaked_ = false;
};

// The caller's dumpable flag, saved when the first of the running children
// starts and put back when the last is reaped: a child that changes its ids
// resets the flag for the whole shared memory, and putting it back while
// another such child runs would open our memory to that child's user.
class DumpableFlag final {
 public:
  void child_starting() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_++ == 0) saved_ = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
  }
  // `gone`: the child is reaped. One that may still run keeps the flag as the
  // kernel left it for good.
  void child_ended(bool gone) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!gone) lost_ = true;
    // Only 0 and 1 can be set; 2 (root-only dumps) is left as it is.
    if (--running_ == 0 && !lost_ && (saved_ == 0 || saved_ == 1) &&
        ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != saved_) {
      ::prctl(PR_SET_DUMPABLE, saved_, 0, 0, 0);
    }
  }

 private:
  std::mutex mutex_;
  int running_ = 0;
  int saved_ = -1;
  bool lost_ = false;
};

DumpableFlag& dumpable_flag() {
  static DumpableFlag flag;
  return flag;
}

// clone(flags) with its child running on `stack_top`: the child calls fn(arg)
// and exits with its result, without returning into this function. Returns
// the child's pid, or -errno.
MOXTILE_UNINSTRUMENTED long clone_running(unsigned long flags, void* stack_top,
                                          SharedMemoryFunction fn, void* arg) noexcept {
#if defined(__x86_64__)
  register long rax __asm__("rax") = SYS_clone;
  register unsigned long rdi __asm__("rdi") = flags;
  register void* rsi __asm__("rsi") = stack_top;
  register long rdx __asm__("rdx") = 0;  // parent tid
  register long r10 __asm__("r10") = 0;  // child tid
  register long r8 __asm__("r8") = 0;    // tls
  register SharedMemoryFunction r9 __asm__("r9") = fn;
  register void* r12 __asm__("r12") = arg;
  __asm__ volatile(
      "syscall\n\t"
      "testq %%rax, %%rax\n\t"
      "jnz 1f\n\t"
      // The child: a fresh frame chain on its own stack, 16-byte aligned.
      "xorl %%ebp, %%ebp\n\t"
      "movq %%r12, %%rdi\n\t"
      "callq *%%r9\n\t"
      "movl %%eax, %%edi\n\t"
      "movl %[exit], %%eax\n\t"
      "syscall\n\t"
      "ud2\n"
      "1:"
      : "+r"(rax)
      : "r"(rdi), "r"(rsi), "r"(rdx), "r"(r10), "r"(r8), "r"(r9), "r"(r12), [exit] "i"(SYS_exit)
      : "rcx", "r11", "memory", "cc");
  return rax;
#elif defined(__aarch64__)
  register long x8 __asm__("x8") = SYS_clone;
  register unsigned long x0 __asm__("x0") = flags;
  register void* x1 __asm__("x1") = stack_top;
  register long x2 __asm__("x2") = 0;  // parent tid
  register long x3 __asm__("x3") = 0;  // tls
  register long x4 __asm__("x4") = 0;  // child tid
  register SharedMemoryFunction x10 __asm__("x10") = fn;
  register void* x11 __asm__("x11") = arg;
  __asm__ volatile(
      "svc 0\n\t"
      "cbnz x0, 1f\n\t"
      "mov x29, xzr\n\t"
      "mov x30, xzr\n\t"
      "mov x0, x11\n\t"
      "blr x10\n\t"
      "mov x8, %[exit]\n\t"
      "svc 0\n\t"
      "brk #0\n"
      "1:"
      : "+r"(x0)
      : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x10), "r"(x11), [exit] "i"(SYS_exit)
      : "memory", "cc");
  return static_cast<long>(x0);
#else
  (void)flags;
  (void)stack_top;
  (void)fn;
  (void)arg;
  return -ENOSYS;
#endif
}

}  // namespace

SysResult<BoundedExit> run_memory_sharing_child(SharedMemoryFunction fn, void* arg,
                                                int timeout_ms) {
  if constexpr (!kMemorySharingChildAvailable) return sys_error(ENOSYS, "start a child");
  ChildStack stack;
  if (!stack.valid()) return sys_error(errno, "map a child's stack");

  // Every signal blocked, by the kernel's own call: the C library's keeps two
  // of its own open, whose handlers would run in the child.
  const unsigned long all = ~0ul;
  unsigned long old = 0;
  raw_syscall(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&all),
              reinterpret_cast<long>(&old), sizeof all);
  dumpable_flag().child_starting();
  const long pid = clone_running(CLONE_VM | SIGCHLD, stack.top(), fn, arg);
  raw_syscall(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&old), 0, sizeof old);
  if (pid < 0) {
    dumpable_flag().child_ended(true);
    return sys_error(raw_failure(pid), "start a child");
  }

  auto end = wait_child_until(static_cast<pid_t>(pid), timeout_ms);
  if (!end) stack.leak();
  dumpable_flag().child_ended(end.ok());
  return end;
}

bool id_change_keeps_memory_untraceable() {
  UniqueFd fd(::open("/proc/sys/fs/suid_dumpable", O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char value[4] = {};
  ssize_t n;
  do {
    n = ::read(fd.get(), value, sizeof value);
  } while (n < 0 && errno == EINTR);
  return n >= 1 && (value[0] == '0' || value[0] == '2') && (n == 1 || value[1] == '\n');
}

}  // namespace moxtile
