#include "pool/account/user_pool.h"

#include <algorithm>
#include <charconv>
#include <new>
#include <stdexcept>
#include <utility>

#include "base/utf8_lossy.h"
#include "pool/posix/child_process.h"
#include "pool/posix/stderr_line.h"
#include "pool/posix/system_error.h"

namespace moxtile {
namespace {

Unexpected<std::string> tool_did_not_start(const char* tool, const SysError& error) {
  return pool_error(std::string(kAllocFailed) + ": Failed to execute the command `" + tool +
                    "`: " + system_error_text(error));
}

// Moves the first entry with `uid` from `from` to the end of `to`.
void move_entry(std::vector<PoolEntry>& from, std::vector<PoolEntry>& to, std::uint32_t uid) {
  auto it =
      std::find_if(from.begin(), from.end(), [uid](const PoolEntry& e) { return e.uid == uid; });
  if (it == from.end()) return;
  to.push_back(std::move(*it));
  from.erase(it);
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
  set_aside_.clear();
  locks_.drop_if_inherited();
  owner_ = OwnerProcess();
}

bool UserPool::is_set_aside(std::uint32_t uid) const noexcept {
  return std::any_of(set_aside_.begin(), set_aside_.end(),
                     [uid](const PoolEntry& e) { return e.uid == uid; });
}

void UserPool::give_back(std::uint32_t uid) {
  forget_if_inherited();
  move_entry(user_, free_user_, uid);
}

void UserPool::put_aside(std::uint32_t uid) {
  forget_if_inherited();
  move_entry(user_, set_aside_, uid);
}

PoolResult<PoolEntry> UserPool::take_account() {
  forget_if_inherited();
  if (user_.size() >= max_user_) return pool_error(kAllocFailed);
  PoolEntry entry;
  if (!free_user_.empty()) {
    entry = std::move(free_user_.back());
    free_user_.pop_back();
  } else {
    auto made = new_account();
    if (!made) return made;
    entry = std::move(*made);
  }
  user_.push_back(entry);
  return entry;
}

PoolResult<PoolEntry> UserPool::new_account() {
  for (;;) {
    PoolEntry entry;
    entry.username = name_rng_.next_name();
    auto uid = userid(entry.username);
    if (!uid) return pool_error(std::move(uid).error());
    if (!*uid) {
      auto run = run_tool({"useradd", entry.username});
      if (!run) return tool_did_not_start("useradd", run.error());
      if (!run->status.success()) {
        const std::string& err = run->err;
        write_stderr_line("Failed to create the user account: " +
                          (is_valid_utf8(err) ? err : std::string()));
        return pool_error(kAllocFailed);
      }
      uid = userid(entry.username);
      if (!uid) return pool_error(std::move(uid).error());
    }
    const std::optional<std::uint32_t> account = *uid;
    if (!account) return pool_error(kAllocFailed);  // still none after useradd
    // Once set aside, never again; held by another pool, not ours to touch.
    if (is_set_aside(*account)) continue;
    auto claimed = locks_.claim(*account);
    if (!claimed) return pool_error(std::string(kAllocFailed) + ": " + claimed.error());
    if (!*claimed) continue;
    entry.uid = *account;
    return entry;
  }
}

PoolResult<SharedUserPool> new_user_pool(std::size_t user_count) {
  const auto no_room = [user_count] {
    return pool_error("Failed to reserve room for " + std::to_string(user_count) +
                      " user accounts");
  };
  try {
    return std::make_shared<PoisonableMutex<UserPool>>(user_count);
  } catch (const std::length_error&) {
    return no_room();
  } catch (const std::bad_alloc&) {
    return no_room();
  }
}

PoolResult<std::optional<std::uint32_t>> userid(const std::string& name) {
  auto run = run_tool({"id", "-u", name});
  if (!run) return tool_did_not_start("id", run.error());
  if (!run->status.success()) return std::optional<std::uint32_t>();
  const std::string& out = run->out;
  if (!is_valid_utf8(out)) {
    write_stderr_line("Failed to convert the result back to a valid utf-8 string");
    return std::optional<std::uint32_t>();
  }
  std::string_view line(out);
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

  std::uint32_t uid = 0;
  auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), uid);
  if (line.empty() || ec != std::errc() || end != line.data() + line.size()) {
    return std::optional<std::uint32_t>();
  }
  return std::optional<std::uint32_t>(uid);
}

}  // namespace moxtile
