// A virtual instrument with the library's port scan pointed at it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Whether thread `tid` of this process is blocked waiting for a descriptor
// (select, poll or their variants): a reader has reached its wait.
inline bool WaitingForDescriptor(pid_t tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  long nr = -1;
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    if (std::fscanf(f, "%ld", &nr) != 1) nr = -1;  // "running"
    std::fclose(f);
  }
  return nr == SYS_pselect6 || nr == SYS_ppoll
#ifdef SYS_select
         || nr == SYS_select
#endif
#ifdef SYS_poll
         || nr == SYS_poll
#endif
      ;
}

// Thread id of the receive thread ("orna-rx"), 0 while there is none.
inline pid_t ReceiveThreadId() {
  pid_t found = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char comm[32] = {};
      const std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
      if (FILE* f = std::fopen(path.c_str(), "r")) {
        if (std::fgets(comm, sizeof comm, f) != nullptr && std::strncmp(comm, "orna-rx", 7) == 0)
          found = static_cast<pid_t>(std::atoi(e->d_name));
        std::fclose(f);
      }
    }
    closedir(d);
  }
  return found;
}

// Whether bytes the instrument sent still wait on the host's side of the
// line at `path`. Polling a terminal first moves along what the system still
// holds on its way to it.
inline bool HostHasUnread(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  const bool unread = ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
  ::close(fd);
  return unread;
}

// Whether the library has read and handled everything the instrument at
// `path` sent: nothing waits on the line and the receive thread is back in
// its read (which it enters only after handling what it read before).
inline bool LibraryHandledAll(const std::string& path) {
  if (HostHasUnread(path)) return false;
  const pid_t rx = ReceiveThreadId();
  return rx != 0 && WaitingForDescriptor(rx);
}

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
