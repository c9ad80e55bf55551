// This process seen from /proc: open descriptors, threads, what a thread waits
// for; and counts taken from the environment.
#pragma once

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace orna::test {

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

// A count from the environment, or `fallback`.
inline long EnvCount(const char* name, long fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  const long n = std::strtol(v, nullptr, 10);
  return n > 0 ? n : fallback;
}

}  // namespace orna::test
