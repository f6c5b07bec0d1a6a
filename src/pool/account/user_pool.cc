#include "pool/account/user_pool.h"

#include <algorithm>
#include <charconv>
#include <new>
#include <stdexcept>
#include <utility>

#include "base/utf8_lossy.h"
#include "pool/account/account_leftovers.h"
#include "pool/account/account_processes.h"
#include "pool/posix/child_process.h"
#include "pool/account/home_directory.h"
#include "pool/posix/stderr_line.h"
#include "pool/posix/system_error.h"

namespace moxtile {
namespace {

// "Failed to allocate a new user account: <why>", for the steps that have a reason to give.
Unexpected<std::string> alloc_failed(const std::string& why) {
  return pool_error(std::string(kAllocFailed) + ": " + why);
}

[[noreturn]] void tool_did_not_start(const char* tool, int err) {
  panic(std::string("Failed to execute the command `") + tool + "`: " + system_error_text(err));
}

}  // namespace

UserPool::UserPool(std::size_t user_count) : max_user_(user_count) {
  user_.reserve(user_count);
  free_user_.reserve(user_count);
}

void UserPool::forget_if_inherited() noexcept {
  if (owner_.is_current()) return;
  user_.clear();
  free_user_.clear();
  locks_.drop_if_inherited();
  owner_ = OwnerProcess();
}

void UserPool::give_back(std::uint32_t uid) {
  forget_if_inherited();
  auto it =
      std::find_if(user_.begin(), user_.end(), [uid](const PoolEntry& e) { return e.uid == uid; });
  if (it == user_.end()) return;
  free_user_.push_back(std::move(*it));
  user_.erase(it);
}

PoolResult<SharedUserPool> new_user_pool(std::size_t user_count) {
  try {
    return std::make_shared<PoisonableMutex<UserPool>>(user_count);
  } catch (const std::length_error&) {
  } catch (const std::bad_alloc&) {
  }
  return pool_error("Failed to reserve room for " + std::to_string(user_count) + " user accounts");
}

std::optional<std::uint32_t> userid(const std::string& name) {
  auto run = run_tool({"id", "-u", name});
  if (!run) tool_did_not_start("id", run.error().err);
  if (!run->status.success()) return std::nullopt;
  const std::string& out = run->out;
  if (!is_valid_utf8(out)) {
    write_stderr_line("Failed to convert the result back to a valid utf-8 string");
    return std::nullopt;
  }
  std::string_view line(out);
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

  std::uint32_t uid = 0;
  auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), uid);
  if (line.empty() || ec != std::errc() || end != line.data() + line.size()) return std::nullopt;
  return uid;
}

PoolResult<SharedUser> alloc_user(SharedUserPool pool) {
  PoolEntry entry;
  {
    auto guard = pool->lock();
    UserPool& p = *guard;
    p.forget_if_inherited();
    if (p.user_.size() >= p.max_user_) return pool_error(kAllocFailed);

    if (!p.free_user_.empty()) {
      entry = std::move(p.free_user_.back());
      p.free_user_.pop_back();
    } else {
      for (;;) {
        entry.username = p.name_rng_.next_name();
        std::optional<std::uint32_t> uid = userid(entry.username);
        if (!uid) {
          auto run = run_tool({"useradd", entry.username});
          if (!run) tool_did_not_start("useradd", run.error().err);
          if (!run->status.success()) {
            const std::string& err = run->err;
            write_stderr_line("Failed to create the user account: " +
                              (is_valid_utf8(err) ? err : std::string()));
            return pool_error(kAllocFailed);
          }
          uid = userid(entry.username);
          if (!uid) return pool_error(kAllocFailed);
        }
        auto claimed = p.locks_.claim(*uid);
        if (!claimed) return alloc_failed(claimed.error());
        entry.uid = *uid;
        if (*claimed) break;
        // Another pool holds it: not ours to list, count or touch.
      }
    }
    p.user_.push_back(entry);
  }

  // Without the pool's lock: other allocations may prepare their accounts
  // meanwhile. A failed preparation leaves the account listed as in use, so
  // this pool never hands it out again.
  if (std::size_t left = kill_account_processes(entry.uid); left != 0) {
    return alloc_failed(std::to_string(left) + " processes of the account still run after SIGKILL");
  }
  if (auto swept = remove_account_leftovers(entry.uid, kHomeRoot); !swept) {
    return alloc_failed(swept.error());
  }
  auto home = prepare_home(kHomeRoot, entry.username, entry.uid);
  if (!home) return pool_error(std::move(home).error());
  return std::make_shared<PoisonableMutex<User>>(std::move(entry.username), std::move(*home),
                                                 std::move(pool), entry.uid);
}

}  // namespace moxtile
