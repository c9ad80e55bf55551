// A virtual instrument with the library's port scan pointed at it.
#pragma once

#include <dirent.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "emulator/virtual_instrument.h"
#include "link/discovery.h"

namespace orna::testing {

class ScanTarget {
 public:
  explicit ScanTarget(const std::string& path) : path_(path) {
    const char* paths[4] = {path_.c_str(), "/nonexistent/ttyACM1", "/nonexistent/ttyACM2",
                            "/nonexistent/ttyACM3"};
    _SetPortPathsForTesting(paths);
  }
  ~ScanTarget() { _SetPortPathsForTesting(nullptr); }

 private:
  std::string path_;
};

// Entries of a /proc directory: open descriptors and threads of this process.
inline int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}
// A thread can still be listed in /proc/self/task for a moment after join()
// has returned: a count is taken once it has held still for 20 ms (at most
// 2 s of polling), so that a thread on its way out is not counted.
inline int SettledCount(const char* dir) {
  using Clock = std::chrono::steady_clock;
  const auto give_up = Clock::now() + std::chrono::seconds(2);
  int n = CountEntries(dir);
  auto since = Clock::now();
  while (Clock::now() - since < std::chrono::milliseconds(20) && Clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int m = CountEntries(dir);
    if (m != n) n = m, since = Clock::now();
  }
  return n;
}
inline int OpenFds() { return SettledCount("/proc/self/fd"); }
inline int Threads() { return SettledCount("/proc/self/task"); }

// Polls `done` until it holds or `timeout` passes; returns its last value.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(2)) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Frame sequence numbers of all packets, in order.
std::vector<int> FrameSequence(const std::vector<emu::Bytes>& packets);

}  // namespace orna::testing
