// Helpers of the device-link tests: a bare pseudo-terminal, the port scan
// pointed at chosen paths, process counters.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/instrument_messages.h"
#include "emulator/virtual_instrument.h"
#include "link/discovery.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"
#include "orna.h"

#include "support/instrument_fixture.h"

namespace orna::linktest {

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

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A pseudo-terminal whose slave keeps the system's default settings until the
// library opens it; the test plays the instrument on the master side.
struct Pty {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  std::string path;
  Pty() {
    char name[128] = {};
    if (grantpt(master) == 0 && unlockpt(master) == 0 && ptsname_r(master, name, sizeof name) == 0)
      path = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() { close(master); }
  void send(const Bytes& b) { (void)!write(master, b.data(), b.size()); }
  Bytes read_for(milliseconds window) {
    Bytes got;
    for (const auto end = Clock::now() + window; Clock::now() < end;) {
      std::uint8_t buf[4096];
      const ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) got.insert(got.end(), buf, buf + n);
      else std::this_thread::sleep_for(milliseconds(1));
    }
    return got;
  }
};

// Points the port scan at up to four paths; the rest cannot be opened.
class ScanPaths {
 public:
  explicit ScanPaths(std::vector<std::string> p) : p_(std::move(p)) {
    while (p_.size() < 4) p_.push_back("/nonexistent/tty" + std::to_string(p_.size()));
    const char* paths[4] = {p_[0].c_str(), p_[1].c_str(), p_[2].c_str(), p_[3].c_str()};
    _SetPortPathsForTesting(paths);
  }
  ~ScanPaths() { _SetPortPathsForTesting(nullptr); }

 private:
  std::vector<std::string> p_;
};

using testing::CountEntries;
using testing::ReceiveThreadId;
using testing::WaitingForDescriptor;
using testing::OpenFds;
using testing::Threads;

inline bool WaitUntil(const std::function<bool()>& done, milliseconds timeout) {
  for (const auto end = Clock::now() + timeout; !done();) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

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

inline std::vector<emu::Kind> Kinds(const emu::VirtualInstrument& vi) {
  std::vector<emu::Kind> k;
  for (const auto& m : vi.messages()) k.push_back(m.kind);
  return k;
}

}  // namespace orna::linktest
