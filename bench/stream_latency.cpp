// End-to-end streaming over a pseudo-terminal.
//
// The virtual instrument runs in a child process (forked before the library
// starts any thread), so the CPU time this process spends is the library's
// own: its receive thread answering requests, building packets, calling the
// graph callback and writing to the port. Both processes talk over two pipes.
//
// Phase 1, real time: output function 10 with pacing and a graph callback,
// the instrument playing at 5 000 samples/s and asking for each next packet
// itself. Reported: request-to-packet latency (the instrument's clock, from
// writing 'N' to having the whole 3 200-byte packet), and the library's CPU
// time per second of streaming.
// Phase 2, flood: the instrument asks for the next packet as soon as one has
// arrived. Reported: packets per second sustained, library CPU per packet.
//
// Usage: bench_stream [--seconds S] [--flood-seconds F]   (defaults 310 and 5)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

namespace {

struct Report {
  std::uint64_t packets_received, underruns, sequence_gaps, requests_sent;
  std::vector<double> latencies;
};

bool ReadAll(int fd, void* data, size_t n) {
  auto* p = static_cast<char*>(data);
  while (n > 0) {
    const ssize_t got = read(fd, p, n);
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
    if (put <= 0) return false;
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

// The instrument's side: serves commands until told to quit.
int Instrument(int commands, int replies) {
  orna::emu::Config config;
  config.record_packets = false;
  config.record_samples = false;
  orna::emu::VirtualInstrument vi(config);
  const std::string path = vi.path();
  const std::uint32_t length = static_cast<std::uint32_t>(path.size());
  WriteAll(replies, &length, sizeof length);
  WriteAll(replies, path.data(), length);
  for (char c; read(commands, &c, 1) == 1;) {
    switch (c) {
      case 'p': vi.start_playback(1.0); break;
      case 's': vi.stop_playback(); break;
      case 'f': vi.start_flood(); break;
      case 'r': {
        const orna::emu::Stats s = vi.stats();
        const std::vector<double> lat = vi.request_latencies();
        const std::uint64_t head[5] = {s.packets_received, s.underruns, s.sequence_gaps,
                                       s.requests_sent, lat.size()};
        WriteAll(replies, head, sizeof head);
        WriteAll(replies, lat.data(), lat.size() * sizeof(double));
        break;
      }
      case 'q': return 0;
      default: break;
    }
  }
  return 0;
}

class Child {
 public:
  bool Start() {
    int cmd[2], rep[2];
    if (pipe(cmd) != 0 || pipe(rep) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      close(cmd[1]);
      close(rep[0]);
      _exit(Instrument(cmd[0], rep[1]));
    }
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
    std::uint64_t head[5] = {};
    Report r{};
    if (!ReadAll(rep_, head, sizeof head)) return r;
    r.packets_received = head[0];
    r.underruns = head[1];
    r.sequence_gaps = head[2];
    r.requests_sent = head[3];
    r.latencies.resize(head[4]);
    ReadAll(rep_, r.latencies.data(), r.latencies.size() * sizeof(double));
    return r;
  }
  void Stop() {
    Send('q');
    close(cmd_);
    close(rep_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  const std::string& path() const { return path_; }

 private:
  pid_t pid_ = -1;
  int cmd_ = -1, rep_ = -1;
  std::string path_;
};

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

volatile double g_last_value;
void Graph(double, double v) { g_last_value = v; }

void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

}  // namespace

int main(int argc, char** argv) {
  double seconds = 310, flood_seconds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--flood-seconds") == 0) flood_seconds = std::atof(argv[i + 1]);
  }

  Child child;
  if (!child.Start()) {
    std::fprintf(stderr, "cannot start the virtual instrument\n");
    return 1;
  }
  const char* paths[4] = {child.path().c_str(), "/nonexistent/1", "/nonexistent/2",
                          "/nonexistent/3"};
  orna::_SetPortPathsForTesting(paths);
  if (InitORNA() != 1) {
    std::fprintf(stderr, "the library found no instrument on %s\n", child.path().c_str());
    child.Stop();
    return 1;
  }

  // Phase 1: real time.
  RegisterTimeAmpCB(Graph);
  SetPacingAmplitude(1.0);
  SetOutputFunc(OutputFuncECGNotchedR);
  child.Send('p');
  Sleep(1.0);  // past the start and the first requests
  const Report r0 = child.Get();
  const double cpu0 = Now(CLOCK_PROCESS_CPUTIME_ID), wall0 = Now(CLOCK_MONOTONIC);
  Sleep(seconds);
  const double cpu1 = Now(CLOCK_PROCESS_CPUTIME_ID), wall1 = Now(CLOCK_MONOTONIC);
  const Report r1 = child.Get();
  const std::vector<double> lat(r1.latencies.begin() + static_cast<long>(r0.latencies.size()),
                                r1.latencies.end());
  const double wall = wall1 - wall0, cpu = cpu1 - cpu0;
  std::printf("real time: function 10, pacing 1 mV, graph callback, %.1f s\n", wall);
  std::printf("  requests answered      %zu\n", lat.size());
  std::printf("  latency median         %.3f ms\n", Percentile(lat, 0.5) * 1e3);
  std::printf("  latency 99th pct       %.3f ms\n", Percentile(lat, 0.99) * 1e3);
  std::printf("  latency max            %.3f ms\n", Percentile(lat, 1.0) * 1e3);
  std::printf("  library CPU            %.4f %% of one core (%.1f us per s of streaming)\n",
              100.0 * cpu / wall, 1e6 * cpu / wall);
  std::printf("  underruns              %llu, sequence gaps %llu\n",
              static_cast<unsigned long long>(r1.underruns - r0.underruns),
              static_cast<unsigned long long>(r1.sequence_gaps - r0.sequence_gaps));

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

  SetOutputFunc(OutputFuncNone);
  CloseORNA();
  child.Stop();
  orna::_SetPortPathsForTesting(nullptr);
  return lat.empty() ? 1 : 0;
}
