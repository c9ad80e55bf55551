#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orna.h"
#include "tools.h"

namespace orna::cli {



namespace {

struct NamedFunction {
  const char* name;
  int number;
};
const NamedFunction kFunctions[] = {
    {"sine", 1},          {"triangle", 2},     {"square", 3},      {"pulse", 4},
    {"triangle-pulse", 5}, {"exponential", 6}, {"cal-ecg", 7},     {"iec227", 8},
    {"iec251", 9},        {"ecg-notched", 10}, {"ecg", 10},        {"ecg-single", 11},
    {"biexponential", 12}, {"file", 13},
};

std::mutex g_points_lock;
std::vector<Point> g_points;  // graph callback points (real hardware)
void OnGraph(double t, double v) {
  std::lock_guard<std::mutex> lock(g_points_lock);
  g_points.push_back({t, v, false});
}
void OnPacing(double t, double v) {
  std::lock_guard<std::mutex> lock(g_points_lock);
  g_points.push_back({t, v, true});
}

// Applies one setting; prints why the library function `function` refused it.
bool Apply(const char* function, int result) {
  if (result == 0) return true;
  const char* why = OrnaResultText(function, result);
  std::fprintf(stderr, "orna: %s refused: %s\n", function, why != nullptr ? why : "(unknown code)");
  return false;
}

void Progress(double done, double total) {
  int width = 40;
  int filled = static_cast<int>(std::min(1.0, done / total) * width);
  std::fprintf(stderr, "\r[%s%s] %5.1f s / %.1f s", std::string(filled, '#').c_str(),
               std::string(width - filled, ' ').c_str(), done, total);
  std::fflush(stderr);
}

}  // namespace

int FunctionNumber(const std::string& s) {
  for (const auto& f : kFunctions)
    if (s == f.name) return f.number;
  char* end = nullptr;
  long n = std::strtol(s.c_str(), &end, 10);
  if (!s.empty() && *end == 0 && n >= 1 && n <= 13) return static_cast<int>(n);
  return -1;
}

int RunPlay(const PlayOptions& o) {
  int fn = FunctionNumber(o.function);
  if (fn < 0) {
    std::fprintf(stderr, "orna: unknown output function '%s'\n", o.function.c_str());
    return kExitUsage;
  }
  auto session = Session::Open(o.emulate, o.port, o.serial);
  if (!session) return kExitNoInstrument;
  bool ok = true;
  if (!std::isnan(o.amplitude)) ok &= Apply("SetAmplitude", SetAmplitude(o.amplitude));
  if (!std::isnan(o.frequency)) ok &= Apply("SetFrequency", SetFrequency(o.frequency));
  if (!std::isnan(o.pulse_width)) ok &= Apply("SetPulseWidth", SetPulseWidth(o.pulse_width));
  if (!std::isnan(o.qrs)) ok &= Apply("SetQRSDuration", SetQRSDuration(o.qrs));
  if (!std::isnan(o.t_wave)) ok &= Apply("SetTWave", SetTWave(o.t_wave));
  if (!std::isnan(o.pacing_width)) ok &= Apply("SetPacingDuration", SetPacingDuration(o.pacing_width));
  if (o.pacing_rate >= 0) ok &= Apply("SetPacingRate", SetPacingRate(o.pacing_rate));
  if (o.pacing_mode >= 0) ok &= Apply("SetPacingPulseMode", SetPacingPulseMode(o.pacing_mode));
  if (!std::isnan(o.overshoot))
    ok &= Apply("SetOvershootTimeConstant", SetOvershootTimeConstant(static_cast<int>(o.overshoot)));
  if (!std::isnan(o.pacing_amplitude))
    ok &= Apply("SetPacingAmplitude", SetPacingAmplitude(o.pacing_amplitude));
  if (o.dc_variable) ok &= Apply("SetDCOffsetVariableMode", SetDCOffsetVariableMode(true));
  if (o.dc_offset != 0) ok &= Apply("SetDCOffset", SetDCOffset(o.dc_offset));
  for (int lead : o.leads) ok &= Apply("SetOutputLead", SetOutputLead(lead, true));
  if (o.impedance) ok &= Apply("SetInputImpedanceMode", SetInputImpedanceMode(true));
  if (o.common_mode) ok &= Apply("SetDCOffsetCommoneMode", SetDCOffsetCommoneMode(true));
  if (!ok) return kExitUsage;

  if (fn == 13) {
    std::u16string path(o.file.begin(), o.file.end());
    int n = LoadECGtxt(path.c_str());
    if (n <= 0) {
      const char* why = n < 0 ? OrnaResultText("LoadECGtxt", n) : "it holds no samples";
      std::fprintf(stderr, "orna: cannot load '%s': %s\n", o.file.c_str(), why ? why : "?");
      return kExitUsage;
    }
  }
  auto* vi = session->instrument();
  if (vi) vi->start_playback(o.speed);
  else {
    RegisterTimeAmpCB(OnGraph);
    RegisterPacingTimeAmpCB(OnPacing);
  }

  const char* select = fn == 8 ? "SetSpecialWave227" : fn == 9 ? "SetSpecialWave251" : "SetOutputFunc";
  int started = fn == 8 ? SetSpecialWave227(o.iec) : fn == 9 ? SetSpecialWave251(o.iec) : SetOutputFunc(fn);
  if (!Apply(select, started)) return kExitUsage;
  // Test modes act on the function now selected; the library refuses those
  // that do not fit it, and so does this program.
  if (o.noise >= 0) ok &= Apply("SetECG2_27_Noise", SetECG2_27_Noise(o.noise, o.noise_amplitude));
  if (o.drift) ok &= Apply("SetECG2_27_AAMIDriftTest", SetECG2_27_AAMIDriftTest(true));
  if (!std::isnan(o.dynamic_range_amplitude))
    ok &= Apply("SetDynamicRangeTest",
                SetDynamicRangeTest(true, o.dynamic_range_amplitude, o.dynamic_range_frequency));
  if (o.freq_scan_sine.size() == 3)
    ok &= Apply("SetFreqScanSine",
                SetFreqScanSine(true, o.freq_scan_sine[0], o.freq_scan_sine[1],
                                static_cast<int>(o.freq_scan_sine[2])));
  if (o.freq_scan_ecg) ok &= Apply("SetFreqScanECG", SetFreqScanECG(true));
  if (o.baseline_reset >= 0) ok &= Apply("SetBaselineResetTest", SetBaselineResetTest(o.baseline_reset));
  if (!ok) {
    SetOutputFunc(0);
    return kExitUsage;
  }

  auto start = std::chrono::steady_clock::now();
  double wall = o.seconds / (vi ? o.speed : 1.0);
  for (;;) {
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Progress(std::min(elapsed, wall) * (vi ? o.speed : 1.0), o.seconds);
    if (elapsed >= wall) break;
    OrnaLinkStatus link{};
    link.size = sizeof link;
    if (OrnaGetLinkStatus(&link) == 0 && link.lost) break;  // nothing more will come
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::fprintf(stderr, "\n");
  OrnaLinkStatus link{};
  link.size = sizeof link;
  OrnaGetLinkStatus(&link);
  SetOutputFunc(0);
  RegisterTimeAmpCB(nullptr);
  RegisterPacingTimeAmpCB(nullptr);

  std::vector<Point> points;
  if (vi) {
    vi->stop_playback();
    for (const auto& s : vi->samples())
      if (s.t < o.seconds) points.push_back({s.t, s.mV, s.range_flag});
  } else {
    std::lock_guard<std::mutex> lock(g_points_lock);
    points = g_points;
    std::stable_sort(points.begin(), points.end(), [](const Point& a, const Point& b) { return a.t < b.t; });
  }
  double lo = 0, hi = 0;
  if (!points.empty()) {
    auto [mn, mx] = std::minmax_element(points.begin(), points.end(),
                                        [](const Point& a, const Point& b) { return a.mV < b.mV; });
    lo = mn->mV;
    hi = mx->mV;
  }
  std::printf("samples:          %zu\n", points.size());
  std::printf("min / max:        %.4f mV / %.4f mV\n", lo, hi);
  if (vi) {
    auto st = vi->stats();
    std::printf("packets:          %llu\n", static_cast<unsigned long long>(st.packets_received));
    std::printf("underruns:        %llu\n", static_cast<unsigned long long>(st.underruns));
    std::printf("sequence errors:  %llu\n", static_cast<unsigned long long>(st.sequence_gaps));
  }
  // The virtual instrument keeps every sample; the graph callback sees every 30th.
  double period = vi ? 1.0 / 5000 : 30.0 / 5000;
  if (!o.record.empty() && !WriteRecording(o.record, points, period, o.function)) {
    std::fprintf(stderr, "orna: cannot write %s\n", o.record.c_str());
    return kExitIo;
  }
  if (!o.plot.empty() && !WritePlot(o.plot, points, o.function)) {
    std::fprintf(stderr, "orna: cannot write %s\n", o.plot.c_str());
    return kExitIo;
  }
  // What was written is kept, but a short or gapped run must not pass as a good one.
  if (link.lost) {
    std::fprintf(stderr, "orna: the instrument went away during the run (%s)\n", GetUSBPort());
    return kExitStream;
  }
  if (link.sequence_errors > 0) {
    std::fprintf(stderr, "orna: the instrument reported %llu sequence errors\n", link.sequence_errors);
    return kExitStream;
  }
  return kExitOk;
}

}  // namespace orna::cli
