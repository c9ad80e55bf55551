// The one lock around all state shared between host threads and the receive thread.
#pragma once

#include <mutex>

namespace orna {

// Recursive, so that callbacks fired with the lock held may call back into the
// library from the same thread. Timed, so that the receive thread can give up
// waiting for it when the connection is being closed.
using Lock = std::recursive_timed_mutex;
extern Lock& s_lock;

using LockGuard = std::lock_guard<Lock>;

}  // namespace orna
