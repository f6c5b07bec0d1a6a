// PyUserPool: the Python class of a pool of real UNIX accounts.
//
// An instance holds a shared reference to the mutex-guarded UserPool; every
// PyUser it hands out holds another, so the pool outlives this object while
// any of its accounts is held. allocate() waits for `id` and `useradd` with
// the interpreter lock held (no method releases it).
#pragma once

#include "pybinding/py_class.h"

namespace moxtile::py {

PyClass& py_user_pool_class();

}  // namespace moxtile::py
