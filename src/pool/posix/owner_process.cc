#include "pool/posix/owner_process.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace moxtile {
namespace {

std::atomic<std::uint64_t> forks_seen{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// Runs in the child of every fork() of the process, so it does only
// async-signal-safe work. posix_spawn() and vfork() children skip it, but
// they run nothing of ours before exec.
void count_fork() noexcept { forks_seen.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t fork_count() noexcept {
  // Registered before the first stamp is taken, so no later fork goes
  // uncounted. Should registration fail (no memory), the pid still tells a
  // child from its living parent.
  [[maybe_unused]] static const bool counting =
      ::pthread_atfork(nullptr, nullptr, &count_fork) == 0;
  return forks_seen.load(std::memory_order_relaxed);
}

}  // namespace

OwnerProcess::OwnerProcess() noexcept : pid_(::getpid()), forks_(fork_count()) {}

bool OwnerProcess::is_current() const noexcept {
  return pid_ == ::getpid() && forks_ == fork_count();
}

}  // namespace moxtile
