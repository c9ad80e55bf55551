#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <memory>
#include <cstdio>
#include <thread>

#include "emulator/virtual_instrument.h"
#include "emulator/virtual_monitor.h"
#include "hl7/mllp_receiver.h"
#include "text.h"
#include "tools.h"

namespace orna::cli {

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

int RunEmulate(double speed, double seconds, int fd, const std::string& record, const std::string& monitor_hl7,
               double misreport_bpm) {
  emu::Config config;
  config.record_packets = false;  // a long run would keep every packet and sample
  config.record_samples = !record.empty();
  // Checked now, not found out at the end of a long run.
  std::string why;
  if (!record.empty() && !CanWrite(record, &why)) {
    std::fprintf(stderr, "orna: cannot write %s: %s\n", TerminalSafe(record).c_str(),
                 TerminalSafe(why).c_str());
    return kExitIo;
  }
  if (fd >= 0 && fcntl(fd, F_GETFD) < 0) {
    std::fprintf(stderr, "orna: file descriptor %d is not open\n", fd);
    return kExitUsage;
  }
  std::unique_ptr<emu::VirtualInstrument> owned =
      fd >= 0 ? std::make_unique<emu::VirtualInstrument>(fd, config)
              : std::make_unique<emu::VirtualInstrument>(config);
  emu::VirtualInstrument& vi = *owned;
  std::unique_ptr<emu::VirtualMonitor> monitor;
  if (!monitor_hl7.empty()) {
    emu::MonitorConfig mc;
    if (!hl7::ParseListen(monitor_hl7, &mc.host, &mc.port) || monitor_hl7.find(':') == std::string::npos) {
      std::fprintf(stderr, "orna: --monitor-hl7 takes HOST:PORT, an IPv4 address and a port\n");
      return kExitUsage;
    }
    mc.misreport_bpm = misreport_bpm;
    mc.log = [](const std::string& line) { std::fprintf(stderr, "orna: %s\n", TerminalSafe(line).c_str()); };
    monitor = std::make_unique<emu::VirtualMonitor>(mc);
    emu::VirtualMonitor* m = monitor.get();
    vi.set_sample_listener([m](const emu::Sample& s) { m->OnSample(s.mV); });
  }
  vi.start_playback(speed);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::printf("%s\n", vi.path().c_str());
  std::fflush(stdout);
  auto start = std::chrono::steady_clock::now();
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (seconds > 0 &&
        std::chrono::steady_clock::now() - start > std::chrono::duration<double>(seconds))
      break;
  }
  vi.set_sample_listener(nullptr);
  monitor.reset();
  auto st = vi.stats();
  std::fprintf(stderr, "packets %llu, samples %llu, underruns %llu, sequence gaps %llu\n",
               static_cast<unsigned long long>(st.packets_received),
               static_cast<unsigned long long>(st.samples_played),
               static_cast<unsigned long long>(st.underruns),
               static_cast<unsigned long long>(st.sequence_gaps));
  if (!record.empty()) {
    vi.stop_playback();
    std::vector<Point> points;
    // No library in this process to say where pulses were: the high range
    // (pulses of 2.5 mV and more) is all there is to go by. A run's width
    // leaves out its last sample, the zero that follows every pulse.
    std::size_t run = 0;  // index of the current run's first point
    for (const auto& s : vi.samples()) {
      const bool starts = s.range_flag && (points.empty() || !points.back().high_range);
      if (starts) run = points.size();
      else if (s.range_flag) points[run].pulse_s = std::max(0.0001, points.back().t - points[run].t);
      points.push_back({s.t, s.mV, s.range_flag, starts ? 0.0001 : 0.0});
    }
    if (!WriteRecording(record, points, 1.0 / 5000, "emulate")) {
      std::fprintf(stderr, "orna: cannot write %s\n", record.c_str());
      return kExitIo;
    }
  }
  return kExitOk;
}

}  // namespace orna::cli
