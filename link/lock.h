// The locks of the library and the one order in which they are taken.
//
//   1. s_lock: the one lock of all state shared between host threads and the
//      receive thread (settings, generator, apply engine, connection). Every
//      exported function takes it first; the receive thread holds it while the
//      upper layer handles an instrument message or the loss of the device.
//   2. The AD exchange lock (_ADExchangeLock, link/receive_thread.h): held by
//      GetAD for a whole exchange and by the connection's handshake, always
//      taken with s_lock already held (GetAD may let s_lock go before it ends
//      its exchange, never take it again while holding this one).
//   3. The port's leaf locks (link/serial_port.h): the descriptor gate and the
//      hand-back lock. Nothing that takes a lock runs under them; the gate is
//      held across one read or write of the descriptor, the hand-back lock
//      across a copy.
//
// A thread holds locks only in this order; skipping one is fine, taking an
// earlier one while a later one is held is not.
#pragma once

#include <mutex>

namespace orna {

// Recursive, so that callbacks fired with the lock held may call back into the
// library from the same thread. The receive thread never blocks on it without
// a bound (link/receive_thread.cpp): the closer holds it while it waits for
// that thread to end.
using Lock = std::recursive_mutex;
extern Lock& s_lock;

using LockGuard = std::lock_guard<Lock>;

}  // namespace orna
