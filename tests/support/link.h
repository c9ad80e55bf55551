// The device link driven below the exported calls.
#pragma once

#include "link/lock.h"
#include "link/protocol.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"
#include "orna.h"

namespace orna::test {

// What closing does to the link: the close command, the thread, the port.
inline void CloseLink() {
  LockGuard lock(s_lock);
  _SendCloseCommand();
  _StopReceiveThread();
  _ClosePort();
}

inline double RangeOn() {
  LockGuard lock(s_lock);
  return g_RangeV4Ch2On;
}

}  // namespace orna::test
