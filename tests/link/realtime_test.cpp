// Scheduling and memory of the receive thread, observed from outside through
// /proc. The priority cases run in a child process that sets its own limits
// and gives up CAP_SYS_NICE, as an ordinary user's process stands: a root
// process may set any priority whatever RLIMIT_RTPRIO says.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/instrument.h"
#include "support/link.h"
#include "support/process.h"
#include "support/terminal.h"
#include "support/wait.h"
#include "link/realtime.h"

namespace orna::test {
namespace {

pid_t WaitForReceiveThread() {
  pid_t tid = 0;
  // The receive thread, once it has prepared itself (it takes its name last).
  WaitUntil([&] { return (tid = ReceiveThreadId()) != 0; }, std::chrono::seconds(5));
  return tid;
}

bool HasCapability(int cap) {
  __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &head, data) != 0) return false;
  return (data[cap / 32].effective & (1u << (cap % 32))) != 0;
}

bool DropCapability(int cap) {
  __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &head, data) != 0) return false;
  const unsigned bit = 1u << (cap % 32);
  data[cap / 32].effective &= ~bit;
  data[cap / 32].permitted &= ~bit;
  data[cap / 32].inheritable &= ~bit;
  return syscall(SYS_capset, &head, data) == 0;
}

struct Seen {
  int setup = 0;  // 1 done; -1 the limits could not be set (the test is skipped)
  int policy = -1, priority = -1, nice = 99;
  int packets = 0;
  long idle_cpu_ms = -1;  // the receive thread's CPU time over 1 s without requests
};

long ThreadCpuNs(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  long ns = -1;
  in >> ns;
  return ns;
}

// In a child: limits, capability, environment as given; then a stream of two
// packets from a virtual instrument, and how the receive thread runs.
Seen Observe(rlim_t rtprio, rlim_t nice, bool drop_cap_sys_nice, const char* orna_realtime) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return Seen{};
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipefd[0]);
    Seen s;
    const rlimit rt{rtprio, rtprio}, ni{nice, nice};
    if (setrlimit(RLIMIT_RTPRIO, &rt) != 0 || setrlimit(RLIMIT_NICE, &ni) != 0 ||
        (drop_cap_sys_nice && HasCapability(CAP_SYS_NICE) && !DropCapability(CAP_SYS_NICE))) {
      s.setup = -1;
    } else {
      if (orna_realtime) setenv("ORNA_REALTIME", orna_realtime, 1);
      emu::VirtualInstrument vi;
      ScanPaths scan({vi.path()});
      if (InitORNA() == 1) {
        SetOutputFunc(OutputFuncSine);
        vi.send_next_request();
        vi.wait_for_packets(2, std::chrono::seconds(5));
        s.packets = static_cast<int>(vi.packet_count());
        if (const pid_t tid = WaitForReceiveThread()) {
          s.setup = 1;
          s.policy = sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK;
          sched_param p{};
          sched_getparam(tid, &p);
          s.priority = p.sched_priority;
          errno = 0;
          s.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
          const long before = ThreadCpuNs(tid);
          std::this_thread::sleep_for(std::chrono::seconds(1));
          s.idle_cpu_ms = (ThreadCpuNs(tid) - before) / 1000000;
        }
        CloseORNA();
      }
    }
    (void)!write(pipefd[1], &s, sizeof s);
    _exit(0);
  }
  close(pipefd[1]);
  Seen s;
  pollfd p{pipefd[0], POLLIN, 0};
  if (pid > 0 && poll(&p, 1, 60000) == 1) (void)!read(pipefd[0], &s, sizeof s);
  close(pipefd[0]);
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return s;
}

#define SKIP_UNLESS_SET_UP(s) \
  if ((s).setup == -1) GTEST_SKIP() << "this process may not set the limits the case needs"

TEST(ReceiveThreadPriority, RealtimeWithinRlimitRtprio) {
  const Seen s = Observe(5, 0, true, nullptr);
  SKIP_UNLESS_SET_UP(s);
  ASSERT_EQ(s.setup, 1);
  EXPECT_EQ(s.policy, SCHED_FIFO);
  EXPECT_EQ(s.priority, 5);  // the limit, below the priority asked for
  EXPECT_EQ(s.packets, 2);
  // It waits in its read and sleeps between passes, never spins.
  EXPECT_LT(s.idle_cpu_ms, 200);
}

TEST(ReceiveThreadPriority, NormalPriorityWhenRefused) {
  const Seen s = Observe(0, 0, true, nullptr);
  SKIP_UNLESS_SET_UP(s);
  ASSERT_EQ(s.setup, 1);
  EXPECT_EQ(s.policy, SCHED_OTHER);
  EXPECT_EQ(s.nice, 0);
  EXPECT_EQ(s.packets, 2);
}

TEST(ReceiveThreadPriority, NiceWithinRlimitNiceWhenRealtimeIsRefused) {
  const Seen s = Observe(0, 25, true, nullptr);  // nice down to 20 - 25 = -5
  SKIP_UNLESS_SET_UP(s);
  ASSERT_EQ(s.setup, 1);
  EXPECT_EQ(s.policy, SCHED_OTHER);
  EXPECT_EQ(s.nice, -5);
  EXPECT_EQ(s.packets, 2);
}

TEST(ReceiveThreadPriority, PrivilegedProcessUnlessSwitchedOff) {
  if (!HasCapability(CAP_SYS_NICE)) GTEST_SKIP() << "needs CAP_SYS_NICE (root)";
  const Seen granted = Observe(0, 0, false, nullptr);
  ASSERT_EQ(granted.setup, 1);
  EXPECT_EQ(granted.policy, SCHED_FIFO);
  EXPECT_EQ(granted.priority, kRealtimePriority);
  EXPECT_EQ(granted.packets, 2);
  EXPECT_LT(granted.idle_cpu_ms, 200);

  const Seen off = Observe(0, 0, false, "0");
  ASSERT_EQ(off.setup, 1);
  EXPECT_EQ(off.policy, SCHED_OTHER);
  EXPECT_EQ(off.nice, 0);
  EXPECT_EQ(off.packets, 2);
}

// kB of "Locked:" in the mappings of /proc/self/smaps: the one holding
// `address`, and all anonymous ones together.
struct LockedKb {
  long at_address = 0, anonymous = 0;
};

LockedKb ReadLocked(std::uintptr_t address) {
  LockedKb kb;
  std::ifstream smaps("/proc/self/smaps");
  bool here = false, anonymous = false;
  for (std::string line; std::getline(smaps, line);) {
    std::uintptr_t begin = 0, end = 0;
    char dash = 0;
    std::istringstream head(line);
    if (line.find("Locked:") == 0) {
      const long v = std::atol(line.c_str() + 7);
      if (here) kb.at_address += v;
      if (anonymous) kb.anonymous += v;
    } else if ((head >> std::hex >> begin >> dash >> end) && dash == '-') {
      here = address >= begin && address < end;
      std::string perms, offset, dev, inode, path;
      head >> perms >> offset >> dev >> inode >> path;
      anonymous = inode == "0" && (path.empty() || path == "[stack]");
    }
  }
  return kb;
}

TEST(ReceiveThreadMemory, StackBuffersAndCodeLockedOnceStarted) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' runtime makes mlock a no-op";
#endif
  emu::VirtualInstrument vi;
  ScanPaths scan({vi.path()});
  ASSERT_EQ(InitORNA(), 1);
  ASSERT_NE(WaitForReceiveThread(), 0);
  EXPECT_GE(ReadLocked(reinterpret_cast<std::uintptr_t>(&s_USBRxData[0])).at_address, 4);
  const LockedKb code = ReadLocked(reinterpret_cast<std::uintptr_t>(&_USBDataPoll));
  EXPECT_GE(code.at_address, 4);
  EXPECT_GE(code.anonymous, static_cast<long>(kLockedStackBytes / 1024));
  CloseORNA();
}

}  // namespace
}  // namespace orna::test
