// The device link driven below the exported calls.
#pragma once

#include <gtest/gtest.h>

#include "control/instrument_messages.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"
#include "orna.h"

namespace orna::test {

// Tests that drive the parser without opening a connection need the handler
// a connection installs: installed before the first link test runs.
struct InstrumentHandlers : ::testing::Environment {
  void SetUp() override {
    LockGuard lock(s_lock);
    _InstallInstrumentHandlers();
  }
};
inline ::testing::Environment* const kInstrumentHandlers =
    ::testing::AddGlobalTestEnvironment(new InstrumentHandlers);

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
