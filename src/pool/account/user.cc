#include "pool/account/user.h"

#include <utility>

#include "pool/account/fatal_error_sink.h"
#include "pool/account/lifecycle.h"
#include "pool/account/user_pool.h"  // the pool must be complete where release names it

namespace moxtile {

User::User(std::string username, std::string home, SharedUserPool pool, std::uint32_t uid,
           SharedTenancy tenancy)
    : username_(std::move(username)),
      home_(std::move(home)),
      pool_(std::move(pool)),
      uid_(uid),
      tenancy_(std::move(tenancy)) {}

User::~User() {
  if (!allocated_in_.is_current()) return;
  try {
    release_account(uid_, std::move(tenancy_), pool_);
  } catch (const Panic& fatal) {
    report_fatal_error(fatal);
  }
}

}  // namespace moxtile
