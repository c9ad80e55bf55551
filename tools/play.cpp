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

// Applies one setting; prints why it was refused.
bool Apply(const char* what, int result) {
  if (result == 0) return true;
  std::fprintf(stderr, "orna: %s refused (code %d)\n", what, result);
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
  auto session = Session::Open(o.emulate, o.port);
  if (!session) {
    std::fprintf(stderr, "orna: no instrument answered\n");
    return kExitNoInstrument;
  }
  bool ok = true;
  if (!std::isnan(o.amplitude)) ok &= Apply("amplitude", SetAmplitude(o.amplitude));
  if (!std::isnan(o.frequency)) ok &= Apply("frequency", SetFrequency(o.frequency));
  if (!std::isnan(o.pulse_width)) ok &= Apply("pulse width", SetPulseWidth(o.pulse_width));
  if (!std::isnan(o.qrs)) ok &= Apply("QRS duration", SetQRSDuration(o.qrs));
  if (!std::isnan(o.t_wave)) ok &= Apply("T wave", SetTWave(o.t_wave));
  if (!std::isnan(o.pacing_width)) ok &= Apply("pacing width", SetPacingDuration(o.pacing_width));
  if (o.pacing_rate >= 0) ok &= Apply("pacing rate", SetPacingRate(o.pacing_rate));
  if (o.pacing_mode >= 0) ok &= Apply("pacing mode", SetPacingPulseMode(o.pacing_mode));
  if (!std::isnan(o.overshoot))
    ok &= Apply("overshoot", SetOvershootTimeConstant(static_cast<int>(o.overshoot)));
  if (!std::isnan(o.pacing_amplitude))
    ok &= Apply("pacing amplitude", SetPacingAmplitude(o.pacing_amplitude));
  if (o.dc_variable) ok &= Apply("DC offset variable mode", SetDCOffsetVariableMode(true));
  if (o.dc_offset != 0) ok &= Apply("DC offset", SetDCOffset(o.dc_offset));
  for (int lead : o.leads) ok &= Apply("output lead", SetOutputLead(lead, true));
  if (o.impedance) ok &= Apply("input impedance mode", SetInputImpedanceMode(true));
  if (o.common_mode) ok &= Apply("DC offset common mode", SetDCOffsetCommoneMode(true));
  if (!ok) return kExitUsage;

  if (fn == 13) {
    std::u16string path(o.file.begin(), o.file.end());
    int n = LoadECGtxt(path.c_str());
    if (n <= 0) {
      std::fprintf(stderr, "orna: cannot load '%s' (code %d)\n", o.file.c_str(), n);
      return kExitUsage;
    }
  }
  auto* vi = session->instrument();
  if (vi) vi->start_playback(o.speed);
  else {
    RegisterTimeAmpCB(OnGraph);
    RegisterPacingTimeAmpCB(OnPacing);
  }

  int started = fn == 8 ? SetSpecialWave227(o.iec) : fn == 9 ? SetSpecialWave251(o.iec) : SetOutputFunc(fn);
  if (!Apply("output function", started)) return kExitUsage;
  // Test modes act on the function now selected; the library refuses those
  // that do not fit it, and so does this program.
  if (o.noise >= 0) ok &= Apply("mains noise", SetECG2_27_Noise(o.noise, o.noise_amplitude));
  if (o.drift) ok &= Apply("drift test", SetECG2_27_AAMIDriftTest(true));
  if (!std::isnan(o.dynamic_range_amplitude))
    ok &= Apply("dynamic-range test",
                SetDynamicRangeTest(true, o.dynamic_range_amplitude, o.dynamic_range_frequency));
  if (o.freq_scan_sine.size() == 3)
    ok &= Apply("sine frequency scan",
                SetFreqScanSine(true, o.freq_scan_sine[0], o.freq_scan_sine[1],
                                static_cast<int>(o.freq_scan_sine[2])));
  if (o.freq_scan_ecg) ok &= Apply("ECG rate scan", SetFreqScanECG(true));
  if (o.baseline_reset >= 0) ok &= Apply("baseline reset test", SetBaselineResetTest(o.baseline_reset));
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
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::fprintf(stderr, "\n");
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
  return kExitOk;
}

}  // namespace orna::cli
