// End-to-end streaming over a pseudo-terminal.
//
// The virtual instrument runs in a child process (forked before the library
// starts any thread), so the CPU time this process spends is the library's
// own: its receive thread answering requests, building packets, calling the
// graph callback and writing to the port. Both processes talk over two pipes.
//
// The instrument is the measuring device, so it must not be what stalls: its
// process runs at SCHED_FIFO (when the system permits), with all its memory
// locked, on the monotonic clock; a probe thread at the same priority measures
// how late a 1 ms timer wakes it, and its page faults are counted. Both are
// reported beside the library's figures.
//
// Phase 1, real time: output function 10 with pacing and a graph callback,
// the instrument playing at 5 000 samples/s and asking for each next packet
// itself. Reported: request-to-packet latency (the instrument's clock, from
// writing 'N' to having the whole 3 200-byte packet), underruns, the
// library's CPU time per second of streaming, the receive thread's
// scheduling policy and its page faults per packet after warm-up (counted
// with getrusage(RUSAGE_THREAD) from the graph callback, which runs on it),
// and the wake-up delays of a probe thread at the receive thread's
// scheduling (what any thread of that priority met on the machine).
// Phase 2, flood: the instrument asks for the next packet as soon as one has
// arrived. Reported: packets per second sustained, library CPU per packet.
//
// --load K keeps the machine busy for the whole run: K busy loops and one
// writer that writes a file of --load-mb MB (default 256) in --load-dir
// (default /var/tmp) and fsyncs it, again and again. The file is unlinked as
// soon as it is open; the load processes have a process group of their own,
// die with this program (also on Ctrl-C or a crash) and end by an alarm at
// the latest a minute after the run should have ended.
//
// --ad-threads N: N host threads call GetAD back to back for the whole real
// time phase; reported: exchanges made, wrong values, the longest call.
// --ad-realtime: the first of them runs at SCHED_FIFO 50, pinned to CPU 0
// with the receive thread (above the receive thread's priority, on its
// processor).
//
// ORNA_REALTIME=0 in the environment keeps the receive thread at normal
// priority; --instrument-priority 0 does the same for the instrument.
//
// Usage: bench_stream [--seconds S] [--flood-seconds F] [--load K]
//                     [--load-dir DIR] [--load-mb MB] [--instrument-priority P]
//                     [--ad-threads N] [--ad-realtime]
//        (defaults 310 s, 5 s, no load, /var/tmp, 256 MB, 50, 0)
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "emulator/virtual_instrument.h"
#include "link/discovery.h"
#include "orna.h"
#include "support/process.h"

namespace {

// What the instrument answers to every AD request (--ad-threads).
constexpr std::uint16_t kADValue = 0x0A5C;

struct Report {
  std::uint64_t packets_received, underruns, sequence_gaps, requests_sent;
  // The instrument's own health since the previous report.
  std::uint64_t policy, priority, wake_max_ns, wakes, wakes_over_1ms, wakes_over_10ms;
  std::uint64_t minor_faults, major_faults;  // the instrument process's, in total
  std::uint64_t memory_locked;
  std::vector<double> latencies;
};
constexpr int kHeadWords = 14;

bool ReadAll(int fd, void* data, size_t n) {
  auto* p = static_cast<char*>(data);
  while (n > 0) {
    const ssize_t got = read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t put = write(fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

std::int64_t Nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Wakes every millisecond on the monotonic clock and records how late.
struct WakeProbe {
  std::atomic<bool> quit{false};
  std::atomic<std::uint64_t> max_ns{0}, wakes{0}, over_1ms{0}, over_10ms{0};

  void Run() {
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!quit.load(std::memory_order_relaxed)) {
      next.tv_nsec += 1000000;
      if (next.tv_nsec >= 1000000000) {
        next.tv_nsec -= 1000000000;
        ++next.tv_sec;
      }
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
      }
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const std::int64_t late = Nanoseconds(now) - Nanoseconds(next);
      const auto l = static_cast<std::uint64_t>(late > 0 ? late : 0);
      if (l > max_ns.load(std::memory_order_relaxed)) max_ns.store(l, std::memory_order_relaxed);
      wakes.fetch_add(1, std::memory_order_relaxed);
      if (l > 1000000) over_1ms.fetch_add(1, std::memory_order_relaxed);
      if (l > 10000000) over_10ms.fetch_add(1, std::memory_order_relaxed);
      if (l > 1000000) next = now;  // a late wake does not make the next ones late
    }
  }
};

// The instrument's side: serves commands until told to quit.
int Instrument(int commands, int replies, int priority) {
  if (priority > 0) {
    sched_param param{};
    param.sched_priority = priority;
    // Threads started below (the instrument's service thread, the probe)
    // inherit the policy.
    sched_setscheduler(0, SCHED_FIFO, &param);
  }
  // The instrument's heap stays mapped and locked, so that no page fault
  // stalls its clock; this process is the benchmark's own.
  // Only where the lock cannot make later allocations fail: without
  // CAP_IPC_LOCK a finite RLIMIT_MEMLOCK would then refuse the thread stacks.
  rlimit memlock{};
  getrlimit(RLIMIT_MEMLOCK, &memlock);
  bool locked = false;
  if (geteuid() == 0 || memlock.rlim_cur == RLIM_INFINITY) {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
    locked = mlockall(MCL_CURRENT | MCL_FUTURE) == 0;
  }
  const int policy = sched_getscheduler(0);
  sched_param got{};
  sched_getparam(0, &got);

  WakeProbe probe;
  std::thread probe_thread([&probe] { probe.Run(); });
  orna::emu::Config config;
  config.record_packets = false;
  config.record_samples = false;
  config.realtime = false;  // the priority chosen above, not the instrument's own
  config.ad_value = kADValue;
  {
    orna::emu::VirtualInstrument vi(config);
    const std::string path = vi.path();
    const std::uint32_t length = static_cast<std::uint32_t>(path.size());
    WriteAll(replies, &length, sizeof length);
    WriteAll(replies, path.data(), length);
    for (char c; read(commands, &c, 1) == 1 && c != 'q';) {
      switch (c) {
        case 'p': vi.start_playback(1.0); break;
        case 's': vi.stop_playback(); break;
        case 'f': vi.start_flood(); break;
        case 'r': {
          const orna::emu::Stats s = vi.stats();
          const std::vector<double> lat = vi.request_latencies();
          rusage usage{};
          getrusage(RUSAGE_SELF, &usage);
          const std::uint64_t head[kHeadWords] = {
              s.packets_received, s.underruns, s.sequence_gaps, s.requests_sent,
              static_cast<std::uint64_t>(policy), static_cast<std::uint64_t>(got.sched_priority),
              probe.max_ns.exchange(0), probe.wakes.exchange(0), probe.over_1ms.exchange(0),
              probe.over_10ms.exchange(0), static_cast<std::uint64_t>(usage.ru_minflt),
              static_cast<std::uint64_t>(usage.ru_majflt), locked ? 1u : 0u, lat.size()};
          WriteAll(replies, head, sizeof head);
          WriteAll(replies, lat.data(), lat.size() * sizeof(double));
          break;
        }
        default: break;
      }
    }
  }
  probe.quit.store(true);
  probe_thread.join();
  return 0;
}

// Pids the signal handler must end: the instrument and the load's group.
volatile sig_atomic_t g_instrument_pid = 0;
volatile sig_atomic_t g_load_group = 0;

class Child {
 public:
  bool Start(int priority) {
    int cmd[2], rep[2];
    if (pipe(cmd) != 0 || pipe(rep) != 0) return false;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
      close(cmd[1]);
      close(rep[0]);
      _exit(Instrument(cmd[0], rep[1], priority));
    }
    g_instrument_pid = pid_;
    close(cmd[0]);
    close(rep[1]);
    cmd_ = cmd[1];
    rep_ = rep[0];
    std::uint32_t length = 0;
    if (!ReadAll(rep_, &length, sizeof length) || length > 4096) return false;
    path_.resize(length);
    return ReadAll(rep_, path_.data(), length);
  }
  void Send(char c) { WriteAll(cmd_, &c, 1); }
  Report Get() {
    Send('r');
    std::uint64_t head[kHeadWords] = {};
    Report r{};
    if (!ReadAll(rep_, head, sizeof head)) return r;
    r.packets_received = head[0];
    r.underruns = head[1];
    r.sequence_gaps = head[2];
    r.requests_sent = head[3];
    r.policy = head[4];
    r.priority = head[5];
    r.wake_max_ns = head[6];
    r.wakes = head[7];
    r.wakes_over_1ms = head[8];
    r.wakes_over_10ms = head[9];
    r.minor_faults = head[10];
    r.major_faults = head[11];
    r.memory_locked = head[12];
    r.latencies.resize(head[13]);
    ReadAll(rep_, r.latencies.data(), r.latencies.size() * sizeof(double));
    return r;
  }
  void Stop() {
    Send('q');
    close(cmd_);
    close(rep_);
    int status = 0;
    waitpid(pid_, &status, 0);
    g_instrument_pid = 0;
  }
  const std::string& path() const { return path_; }

 private:
  pid_t pid_ = -1;
  int cmd_ = -1, rep_ = -1;
  std::string path_;
};

// Busy loops and a disk writer in a process group of their own.
class Load {
 public:
  // Every load process ends at the latest `bound_s` seconds from now.
  bool Start(int loops, const std::string& dir, long megabytes, unsigned bound_s) {
    if (loops <= 0) return true;
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
    std::string name = dir + "/orna-bench-load-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) {
      std::fprintf(stderr, "cannot create the load file in %s: %s\n", dir.c_str(), std::strerror(errno));
      return false;
    }
    // Gone from the directory at once: the space is freed when the writer
    // ends, however it ends.
    unlink(name.c_str());
    for (int i = 0; i <= loops; ++i) {
      const bool writer = i == loops;
      const pid_t parent = getpid();
      const pid_t pid = fork();
      if (pid < 0) {
        close(fd);
        Stop();
        return false;
      }
      if (pid == 0) {
        setpgid(0, group_);  // the first one leads the group (group_ 0)
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        alarm(bound_s);
        if (writer) WriteForever(fd, chunk, megabytes);
        close(fd);
        for (volatile std::uint64_t spin = 0;; ++spin) {
        }
      }
      setpgid(pid, group_ == 0 ? pid : group_);
      if (group_ == 0) {
        group_ = pid;
        g_load_group = pid;
      }
      pids_.push_back(pid);
    }
    close(fd);
    loops_ = loops;
    megabytes_ = megabytes;
    return true;
  }
  void Stop() {
    if (group_ != 0) kill(-group_, SIGKILL);
    for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
    pids_.clear();
    group_ = 0;
    g_load_group = 0;
  }
  ~Load() { Stop(); }
  std::string Describe() const {
    if (loops_ == 0) return "none";
    return std::to_string(loops_) + " busy loops, a writer of " + std::to_string(megabytes_) +
           " MB with fsync";
  }

 private:
  [[noreturn]] static void WriteForever(int fd, const std::vector<char>& chunk, long megabytes) {
    for (;;) {
      for (long m = 0; m < megabytes; ++m) {
        if (pwrite(fd, chunk.data(), chunk.size(), static_cast<off_t>(m) << 20) < 0) _exit(2);
      }
      fsync(fd);
    }
  }

  pid_t group_ = 0;
  std::vector<pid_t> pids_;
  int loops_ = 0;
  long megabytes_ = 0;
};

void OnSignal(int sig) {
  if (g_load_group > 0) kill(-g_load_group, SIGKILL);
  if (g_instrument_pid > 0) kill(g_instrument_pid, SIGKILL);
  signal(sig, SIG_DFL);
  raise(sig);
}

double Now(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p * (v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// The graph callback runs on the receive thread: it notes that thread's
// scheduling once, and its page faults about once a packet.
volatile double g_last_value;
std::atomic<long> g_graph_calls{0};
std::atomic<int> g_rx_policy{-1}, g_rx_priority{0}, g_rx_nice{0};
std::atomic<long> g_rx_minor{0}, g_rx_major{0};

pid_t g_main_tid;

void Graph(double, double v) {
  g_last_value = v;
  // The first packet is built on the host's thread that starts the stream.
  if (gettid() == g_main_tid) return;
  const long n = g_graph_calls.fetch_add(1, std::memory_order_relaxed);
  if (n == 0) {
    sched_param p{};
    sched_getparam(0, &p);
    g_rx_priority.store(p.sched_priority);
    errno = 0;
    g_rx_nice.store(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
    g_rx_policy.store(sched_getscheduler(0) & ~SCHED_RESET_ON_FORK);
  }
  if (n % 50 == 0) {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    g_rx_minor.store(usage.ru_minflt, std::memory_order_relaxed);
    g_rx_major.store(usage.ru_majflt, std::memory_order_relaxed);
  }
}

const char* PolicyName(long policy) {
  switch (policy) {
    case SCHED_OTHER: return "SCHED_OTHER";
    case SCHED_FIFO: return "SCHED_FIFO";
    case SCHED_RR: return "SCHED_RR";
    case SCHED_BATCH: return "SCHED_BATCH";
    case SCHED_IDLE: return "SCHED_IDLE";
    default: return "unknown";
  }
}

// Jiffies all CPUs spent and spent stolen by the hypervisor (a virtual
// machine's CPUs may be descheduled whatever their priority inside).
struct CpuTimes {
  double total = 0, steal = 0;
};
CpuTimes ReadCpuTimes() {
  CpuTimes t;
  if (FILE* f = std::fopen("/proc/stat", "r")) {
    unsigned long long v[8] = {};
    if (std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                    &v[4], &v[5], &v[6], &v[7]) == 8) {
      for (unsigned long long x : v) t.total += static_cast<double>(x);
      t.steal = static_cast<double>(v[7]);
    }
    std::fclose(f);
  }
  return t;
}

double LoadAverage() {
  double l = 0;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &l) != 1) l = 0;
    std::fclose(f);
  }
  return l;
}

void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

}  // namespace

int main(int argc, char** argv) {
  double seconds = 310, flood_seconds = 5;
  int load = 0, instrument_priority = 50, ad_threads = 0;
  bool ad_realtime = false;
  long load_mb = 256;
  std::string load_dir = "/var/tmp";
  // A typo or --help must not start a run of several minutes.
  for (int i = 1; i < argc; i += 2) {
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (std::strcmp(argv[i], "--ad-realtime") == 0) {
      ad_realtime = true;
      --i;
    } else if (value && std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::atof(value);
    } else if (value && std::strcmp(argv[i], "--flood-seconds") == 0) {
      flood_seconds = std::atof(value);
    } else if (value && std::strcmp(argv[i], "--load") == 0) {
      load = std::atoi(value);
    } else if (value && std::strcmp(argv[i], "--load-dir") == 0) {
      load_dir = value;
    } else if (value && std::strcmp(argv[i], "--load-mb") == 0) {
      load_mb = std::atol(value);
    } else if (value && std::strcmp(argv[i], "--instrument-priority") == 0) {
      instrument_priority = std::atoi(value);
    } else if (value && std::strcmp(argv[i], "--ad-threads") == 0) {
      ad_threads = std::atoi(value);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--seconds S (310)] [--flood-seconds S (5)] [--load K (0)]\n"
                   "          [--load-dir DIR (/var/tmp)] [--load-mb MB (256)]\n"
                   "          [--instrument-priority P (50; 0 = normal)] [--ad-threads N (0)]\n"
                   "          [--ad-realtime]\n",
                   argv[0]);
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }

  g_main_tid = gettid();
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGHUP, OnSignal);

  Child child;
  if (!child.Start(instrument_priority)) {
    std::fprintf(stderr, "cannot start the virtual instrument\n");
    return 1;
  }
  Load machine_load;
  if (!machine_load.Start(load, load_dir, load_mb,
                          static_cast<unsigned>(seconds + flood_seconds) + 60)) {
    std::fprintf(stderr, "cannot start the load\n");
    child.Stop();
    return 1;
  }
  const char* paths[4] = {child.path().c_str(), "/nonexistent/1", "/nonexistent/2",
                          "/nonexistent/3"};
  orna::_SetPortPathsForTesting(paths);
  if (InitORNA() != 1) {
    std::fprintf(stderr, "the library found no instrument on %s\n", child.path().c_str());
    machine_load.Stop();
    child.Stop();
    return 1;
  }

  // Phase 1: real time.
  RegisterTimeAmpCB(Graph);
  SetPacingAmplitude(1.0);
  SetOutputFunc(OutputFuncECGNotchedR);
  child.Send('p');
  Sleep(2.0);  // past the start and the first packets: the warm-up
  // A probe at the receive thread's scheduling, in this process: what any
  // thread of that priority met on this machine. Its CPU time is not the
  // library's and is subtracted below.
  WakeProbe peer;
  std::thread peer_thread([&peer] {
    const int policy = g_rx_policy.load();
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
      sched_param param{};
      param.sched_priority = g_rx_priority.load();
      sched_setscheduler(0, policy, &param);
    } else {
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), g_rx_nice.load());
    }
    peer.Run();
  });
  clockid_t peer_clock{};
  pthread_getcpuclockid(peer_thread.native_handle(), &peer_clock);
  Sleep(0.1);
  peer.max_ns.store(0);
  peer.wakes.store(0);
  peer.over_1ms.store(0);
  peer.over_10ms.store(0);
  const double peer_cpu0 = Now(peer_clock);
  const Report r0 = child.Get();
  const long minor0 = g_rx_minor.load(), major0 = g_rx_major.load();
  const CpuTimes jiffies0 = ReadCpuTimes();
  std::atomic<bool> ad_quit{false};
  std::atomic<unsigned long long> ad_calls{0}, ad_wrong{0};
  std::atomic<long long> ad_max_us{0};
  std::vector<std::thread> ad_callers;
  std::atomic<bool> ad_rt_granted{false};
  if (ad_realtime && ad_threads > 0) {
    cpu_set_t cpu0;
    CPU_ZERO(&cpu0);
    CPU_SET(0, &cpu0);
    if (const pid_t rx = orna::test::ReceiveThreadId()) sched_setaffinity(rx, sizeof cpu0, &cpu0);
  }
  for (int i = 0; i < ad_threads; ++i) {
    ad_callers.emplace_back([&, i] {
      if (ad_realtime && i == 0) {
        cpu_set_t cpu0;
        CPU_ZERO(&cpu0);
        CPU_SET(0, &cpu0);
        sched_param p{};
        p.sched_priority = 50;
        ad_rt_granted.store(sched_setaffinity(0, sizeof cpu0, &cpu0) == 0 &&
                            pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0);
      }
      while (!ad_quit.load()) {
        const auto t0 = std::chrono::steady_clock::now();
        const int value = GetAD();
        const long long us = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - t0)
                                 .count();
        long long seen = ad_max_us.load();
        while (us > seen && !ad_max_us.compare_exchange_weak(seen, us)) {
        }
        ad_calls.fetch_add(1);
        if (value != kADValue) ad_wrong.fetch_add(1);
      }
    });
  }
  const double cpu0 = Now(CLOCK_PROCESS_CPUTIME_ID), wall0 = Now(CLOCK_MONOTONIC);
  Sleep(seconds);
  const double cpu1 = Now(CLOCK_PROCESS_CPUTIME_ID), wall1 = Now(CLOCK_MONOTONIC);
  ad_quit.store(true);
  for (std::thread& t : ad_callers) t.join();
  const double peer_cpu1 = Now(peer_clock);
  const Report r1 = child.Get();
  peer.quit.store(true);
  peer_thread.join();
  const long minor1 = g_rx_minor.load(), major1 = g_rx_major.load();
  const CpuTimes jiffies1 = ReadCpuTimes();
  const double jiffies = jiffies1.total - jiffies0.total;
  const std::vector<double> lat(r1.latencies.begin() + static_cast<long>(r0.latencies.size()),
                                r1.latencies.end());
  const double wall = wall1 - wall0, cpu = cpu1 - cpu0 - (peer_cpu1 - peer_cpu0);
  const auto packets1 = static_cast<double>(r1.packets_received - r0.packets_received);
  std::printf("real time: function 10, pacing 1 mV, graph callback, %.1f s, load: %s\n", wall,
              machine_load.Describe().c_str());
  std::printf("  requests answered      %zu\n", lat.size());
  std::printf("  latency median         %.3f ms\n", Percentile(lat, 0.5) * 1e3);
  std::printf("  latency 99th pct       %.3f ms\n", Percentile(lat, 0.99) * 1e3);
  std::printf("  latency max            %.3f ms\n", Percentile(lat, 1.0) * 1e3);
  std::printf("  library CPU            %.4f %% of one core (%.1f us per s of streaming)\n",
              100.0 * cpu / wall, 1e6 * cpu / wall);
  std::printf("  underruns              %llu, sequence gaps %llu\n",
              static_cast<unsigned long long>(r1.underruns - r0.underruns),
              static_cast<unsigned long long>(r1.sequence_gaps - r0.sequence_gaps));
  if (ad_threads > 0) {
    std::printf("  GetAD                  %d threads%s: %llu exchanges, %llu wrong values, longest call %.1f ms\n",
                ad_threads,
                !ad_realtime ? "" : ad_rt_granted.load() ? " (first at SCHED_FIFO 50 on CPU 0 with the receive thread)"
                                                          : " (SCHED_FIFO 50 refused)",
                ad_calls.load(), ad_wrong.load(), ad_max_us.load() * 1e-3);
  }
  std::printf("  receive thread         %s priority %d, nice %d%s\n", PolicyName(g_rx_policy.load()),
              g_rx_priority.load(), g_rx_nice.load(),
              std::getenv("ORNA_REALTIME") != nullptr ? " (ORNA_REALTIME set)" : "");
  std::printf("  receive thread faults  %.3f minor per packet (%ld minor, %ld major in %.0f packets)\n",
              packets1 > 0 ? static_cast<double>(minor1 - minor0) / packets1 : 0.0, minor1 - minor0,
              major1 - major0, packets1);
  std::printf("  same-priority probe    wake-up delay max %.3f ms, %llu of %llu wakes over 1 ms, "
              "%llu over 10 ms (a 1 ms timer at the receive thread's scheduling, in this process)\n",
              peer.max_ns.load() * 1e-6, static_cast<unsigned long long>(peer.over_1ms.load()),
              static_cast<unsigned long long>(peer.wakes.load()),
              static_cast<unsigned long long>(peer.over_10ms.load()));
  std::printf("  instrument             %s priority %llu, memory %s; wake-up delay max %.3f ms, "
              "%llu of %llu wakes over 1 ms, %llu over 10 ms; %llu minor, %llu major faults\n",
              PolicyName(static_cast<long>(r1.policy)), static_cast<unsigned long long>(r1.priority),
              r1.memory_locked ? "locked" : "not locked", r1.wake_max_ns * 1e-6, static_cast<unsigned long long>(r1.wakes_over_1ms),
              static_cast<unsigned long long>(r1.wakes),
              static_cast<unsigned long long>(r1.wakes_over_10ms),
              static_cast<unsigned long long>(r1.minor_faults - r0.minor_faults),
              static_cast<unsigned long long>(r1.major_faults - r0.major_faults));
  std::printf("  machine                load average %.2f at the end, %.1f %% of CPU time stolen by the hypervisor\n",
              LoadAverage(), jiffies > 0 ? 100.0 * (jiffies1.steal - jiffies0.steal) / jiffies : 0.0);
  std::fflush(stdout);

  // Phase 2: as fast as the instrument can ask.
  child.Send('s');
  child.Send('f');
  Sleep(0.5);
  const Report f0 = child.Get();
  const double fcpu0 = Now(CLOCK_PROCESS_CPUTIME_ID), fwall0 = Now(CLOCK_MONOTONIC);
  Sleep(flood_seconds);
  const double fcpu1 = Now(CLOCK_PROCESS_CPUTIME_ID), fwall1 = Now(CLOCK_MONOTONIC);
  const Report f1 = child.Get();
  const double fwall = fwall1 - fwall0, fcpu = fcpu1 - fcpu0;
  const double packets = static_cast<double>(f1.packets_received - f0.packets_received);
  const std::vector<double> flat(f1.latencies.begin() + static_cast<long>(f0.latencies.size()),
                                 f1.latencies.end());
  std::printf("flood: %.1f s\n", fwall);
  std::printf("  packets per second     %.1f (%.1f x real time)\n", packets / fwall,
              packets / fwall * 0.3);
  std::printf("  latency median         %.3f ms, max %.3f ms\n", Percentile(flat, 0.5) * 1e3,
              Percentile(flat, 1.0) * 1e3);
  std::printf("  library CPU            %.2f %% of one core (%.1f us per packet)\n",
              100.0 * fcpu / fwall, packets > 0 ? 1e6 * fcpu / packets : 0.0);

  machine_load.Stop();
  SetOutputFunc(OutputFuncNone);
  CloseORNA();
  child.Stop();
  orna::_SetPortPathsForTesting(nullptr);
  return lat.empty() ? 1 : 0;
}
