#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
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

constexpr double kSamplePeriod = 1.0 / 5000;
constexpr int kSamplesPerFrame = 30;  // the graph callback sees the first of each frame
constexpr double kGraphPeriod = kSamplesPerFrame * kSamplePeriod;

// What the library's callbacks report during a run. Frames are counted from
// the stream's first: the graph callback fires once per frame, and the pacing
// callback's four points of a pulse follow the graph point of the frame in
// which the pulse began (or the next one).
struct Capture {
  std::mutex lock;
  bool keep_graph = false;  // real hardware: the graph points are the recording
  std::uint64_t frames = 0;
  std::uint64_t pacing_points = 0;
  std::vector<Point> graph;
  std::vector<std::uint64_t> pulse_frames;
};
Capture g_capture;

void OnGraph(double, double v) {
  std::lock_guard<std::mutex> lock(g_capture.lock);
  // Counted, not taken from the callback: the library's graph time restarts
  // at every settings change.
  if (g_capture.keep_graph) g_capture.graph.push_back({g_capture.frames * kGraphPeriod, v, false});
  ++g_capture.frames;
}
void OnPacing(double, double) {
  std::lock_guard<std::mutex> lock(g_capture.lock);
  if (g_capture.pacing_points++ % 4 == 0)
    g_capture.pulse_frames.push_back(g_capture.frames > 0 ? g_capture.frames - 1 : 0);
}

// Applies one setting; says why it was refused.
bool Apply(const char* option, const char* function, int result) {
  if (result == 0) return true;
  std::fprintf(stderr, "orna: %s refused: %s\n", option, RefusalText(function, result));
  return false;
}

void Progress(double done, double total) {
  int width = 40;
  int filled = static_cast<int>(std::clamp(done / total, 0.0, 1.0) * width);
  std::fprintf(stderr, "\r[%s%s] %5.1f s / %.1f s", std::string(filled, '#').c_str(),
               std::string(width - filled, ' ').c_str(), std::min(done, total), total);
  std::fflush(stderr);
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// The first sample of the pulse reported for `frame`: it began after the
// previous frame's first sample and no later than this frame's. On the high
// range the flag shows it; a small pulse rides on the waveform, so there it is
// the largest step in the pulse's direction.
std::size_t PulseStart(const std::vector<emu::Sample>& s, std::uint64_t frame, double amplitude) {
  const std::size_t hi = std::min<std::size_t>(frame * kSamplesPerFrame, s.size() - 1);
  const std::size_t lo = frame > 0 ? std::min(hi, (frame - 1) * kSamplesPerFrame + 1) : 0;
  for (std::size_t i = lo; i <= hi; ++i)
    if (s[i].range_flag && (i == 0 || !s[i - 1].range_flag)) return i;
  std::size_t best = hi;
  double best_step = -1e300;
  const double sign = amplitude < 0 ? -1 : 1;
  for (std::size_t i = std::max<std::size_t>(lo, 1); i <= hi; ++i) {
    const double step = (s[i].mV - s[i - 1].mV) * sign;
    if (step > best_step) best_step = step, best = i;
  }
  return best;
}

}  // namespace

const char* RefusalText(const char* function, int code) {
  const char* text = OrnaResultText(function, code);
  return text != nullptr ? text : "value not accepted";
}

int FunctionNumber(const std::string& s) {
  for (const auto& f : kFunctions)
    if (s == f.name) return f.number;
  char* end = nullptr;
  long n = std::strtol(s.c_str(), &end, 10);
  if (!s.empty() && *end == 0 && n >= 1 && n <= 13) return static_cast<int>(n);
  return -1;
}

std::string MisfitSetting(const PlayOptions& o, int fn) {
  auto only = [](const char* option, const char* functions) {
    return std::string(option) + " does nothing here: it is for " + functions + " only";
  };
  if (!std::isnan(o.pulse_width) && fn != 4 && fn != 5) return only("--pulse-width", "pulse and triangle-pulse");
  if (!std::isnan(o.qrs) && fn != 7) return only("--qrs", "cal-ecg");
  if (!std::isnan(o.t_wave) && fn != 7) return only("--t-wave", "cal-ecg");
  if (o.iec >= 0 && fn != 8 && fn != 9) return only("--iec", "iec227 and iec251");
  if (!o.file.empty() && fn != 13) return only("--file", "the 'file' function");
  if (!std::isnan(o.frequency) && (fn == 8 || fn == 9 || fn == 12 || fn == 13))
    return "--frequency does nothing here: this waveform has its own rate";
  if (o.noise >= 0 && fn != 7) return only("--noise", "cal-ecg");
  if (o.drift && fn != 7) return only("--drift", "cal-ecg");
  if (o.freq_scan_ecg && fn != 7) return only("--freq-scan-ecg", "cal-ecg");
  if (!std::isnan(o.dynamic_range_amplitude) && fn != 2 && fn != 3) return only("--dynamic-range", "triangle and square");
  if (!o.freq_scan_sine.empty() && fn != 1) return only("--freq-scan-sine", "sine");
  if (o.baseline_reset >= 0 && fn != 1) return only("--baseline-reset", "sine");
  if (!std::isnan(o.noise_amplitude) && o.noise < 0) return "--noise-amplitude needs --noise";
  if (!std::isnan(o.dynamic_range_frequency) && std::isnan(o.dynamic_range_amplitude))
    return "--dynamic-range-frequency needs --dynamic-range";
  const bool pacing = !std::isnan(o.pacing_amplitude) && o.pacing_amplitude != 0;
  if (!pacing && (!std::isnan(o.pacing_width) || o.pacing_rate >= 0 || o.pacing_mode >= 0 || !std::isnan(o.overshoot)))
    return "--pacing-width, -rate, -mode and --overshoot need --pacing-amplitude (not 0)";
  return "";
}

std::string SettingsSummary(const PlayOptions& o) {
  std::string s = o.function;
  // Short keys, units as in the options (mV, Hz, ms, per minute): the EDF+
  // header has about 40 characters for them.
  auto add = [&](const char* key, double v, const char*) {
    if (!std::isnan(v)) s += std::string(" ") + key + "=" + Number(v);
  };
  add("A", o.amplitude, "mV");
  add("F", o.frequency, "Hz");
  add("PW", o.pulse_width, "ms");
  add("QRS", o.qrs, "ms");
  add("T", o.t_wave, "mV");
  if (o.iec >= 0) s += " IEC=" + std::to_string(o.iec);
  add("PA", o.pacing_amplitude, "mV");
  add("PD", o.pacing_width, "ms");
  if (o.pacing_rate >= 0) s += " PR=" + std::to_string(o.pacing_rate);
  if (o.pacing_mode >= 0) s += " PM=" + std::to_string(o.pacing_mode);
  add("OS", o.overshoot, "ms");
  if (o.dc_offset != 0) s += " DC=" + std::to_string(o.dc_offset);
  if (o.noise >= 0) s += o.noise == 1 ? " noise50Hz" : " noise60Hz";
  if (o.drift) s += " drift";
  add("DR", o.dynamic_range_amplitude, "mV");
  if (o.freq_scan_ecg) s += " ecgscan";
  if (o.freq_scan_sine.size() == 3) s += " scan";
  if (o.baseline_reset >= 0) s += " BR=" + std::to_string(o.baseline_reset);
  return s;
}

int RunPlay(const PlayOptions& o) {
  int fn = FunctionNumber(o.function);
  if (fn < 0) {
    std::fprintf(stderr, "orna: unknown output function '%s' (see orna play --help)\n", o.function.c_str());
    return kExitUsage;
  }
  std::string misfit = MisfitSetting(o, fn);
  if (!misfit.empty()) {
    std::fprintf(stderr, "orna: %s\n", misfit.c_str());
    return kExitUsage;
  }
  // The library would take it and bring it down to 3 Hz once the function is on.
  if ((fn == 4 || fn == 5) && o.frequency > 3) {
    std::fprintf(stderr, "orna: --frequency refused: %s\n", RefusalText("SetFrequency", -2));
    return kExitUsage;
  }
  if (fn == 13 && o.file.empty()) {
    std::fprintf(stderr, "orna: the 'file' function needs --file PATH (a text waveform)\n");
    return kExitUsage;
  }
  // Outputs are checked before the run, not after it.
  std::vector<std::string> outputs = o.records;
  if (!o.plot.empty()) outputs.push_back(o.plot);
  for (const auto& path : outputs) {
    if (!CanWrite(path)) {
      std::fprintf(stderr, "orna: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
      return kExitIo;
    }
  }
  // CSV on standard output keeps it for the data alone.
  FILE* summary = std::find(o.records.begin(), o.records.end(), "-") != o.records.end() ? stderr : stdout;

  auto session = Session::Open(o.emulate, o.port, o.serial);
  if (!session) return kExitNoInstrument;
  bool ok = true;
  if (!std::isnan(o.amplitude)) ok &= Apply("--amplitude", "SetAmplitude", SetAmplitude(o.amplitude));
  if (!std::isnan(o.frequency)) ok &= Apply("--frequency", "SetFrequency", SetFrequency(o.frequency));
  if (!std::isnan(o.pulse_width)) ok &= Apply("--pulse-width", "SetPulseWidth", SetPulseWidth(o.pulse_width));
  if (!std::isnan(o.qrs)) ok &= Apply("--qrs", "SetQRSDuration", SetQRSDuration(o.qrs));
  if (!std::isnan(o.t_wave)) ok &= Apply("--t-wave", "SetTWave", SetTWave(o.t_wave));
  if (!std::isnan(o.pacing_width))
    ok &= Apply("--pacing-width", "SetPacingDuration", SetPacingDuration(o.pacing_width));
  if (o.pacing_rate >= 0) ok &= Apply("--pacing-rate", "SetPacingRate", SetPacingRate(o.pacing_rate));
  if (o.pacing_mode >= 0)
    ok &= Apply("--pacing-mode", "SetPacingPulseMode", SetPacingPulseMode(o.pacing_mode));
  if (!std::isnan(o.overshoot))
    ok &= Apply("--overshoot", "SetOvershootTimeConstant", SetOvershootTimeConstant(static_cast<int>(o.overshoot)));
  if (!std::isnan(o.pacing_amplitude))
    ok &= Apply("--pacing-amplitude", "SetPacingAmplitude", SetPacingAmplitude(o.pacing_amplitude));
  if (o.dc_variable) ok &= Apply("--dc-variable", "SetDCOffsetVariableMode", SetDCOffsetVariableMode(true));
  if (o.dc_offset != 0) ok &= Apply("--dc-offset", "SetDCOffset", SetDCOffset(o.dc_offset));
  for (int lead : o.leads) ok &= Apply("--lead", "SetOutputLead", SetOutputLead(lead, true));
  if (o.impedance) ok &= Apply("--impedance", "SetInputImpedanceMode", SetInputImpedanceMode(true));
  if (o.common_mode) ok &= Apply("--common-mode", "SetDCOffsetCommoneMode", SetDCOffsetCommoneMode(true));
  if (!ok) return kExitUsage;

  if (fn == 13) {
    std::u16string path(o.file.begin(), o.file.end());
    int n = LoadECGtxt(path.c_str());
    if (n <= 0) {
      std::fprintf(stderr, "orna: cannot load %s: %s\n", o.file.c_str(), RefusalText("LoadECGtxt", n));
      return kExitUsage;
    }
  }
  const std::string serial = GetSerialNo() ? GetSerialNo() : "unknown";
  const double pulse_s = GetPacingAmplitude() != 0 ? GetPacingDuration() / 1000 : 0;
  const double pacing_amplitude = GetPacingAmplitude();

  auto* vi = session->instrument();
  {
    std::lock_guard<std::mutex> lock(g_capture.lock);
    g_capture.frames = g_capture.pacing_points = 0;
    g_capture.graph.clear();
    g_capture.pulse_frames.clear();
    g_capture.keep_graph = vi == nullptr;
  }
  RegisterTimeAmpCB(OnGraph);
  RegisterPacingTimeAmpCB(OnPacing);
  if (vi) {
    if (o.speed > 0) vi->start_playback(o.speed);
    else vi->start_flood();
  }

  const int iec = std::max(0, o.iec);
  int started = fn == 8 ? SetSpecialWave227(iec) : fn == 9 ? SetSpecialWave251(iec) : SetOutputFunc(fn);
  const char* starter = fn == 8 ? "SetSpecialWave227" : fn == 9 ? "SetSpecialWave251" : "SetOutputFunc";
  if (!Apply(fn == 8 || fn == 9 ? "--iec" : "function", starter, started)) ok = false;
  // Test modes act on the function now selected.
  const double noise_amplitude = std::isnan(o.noise_amplitude) ? 0.1 : o.noise_amplitude;
  const double dr_frequency = std::isnan(o.dynamic_range_frequency) ? 30 : o.dynamic_range_frequency;
  if (ok && o.noise >= 0) ok &= Apply("--noise", "SetECG2_27_Noise", SetECG2_27_Noise(o.noise, noise_amplitude));
  if (ok && o.drift) ok &= Apply("--drift", "SetECG2_27_AAMIDriftTest", SetECG2_27_AAMIDriftTest(true));
  if (ok && !std::isnan(o.dynamic_range_amplitude))
    ok &= Apply("--dynamic-range", "SetDynamicRangeTest",
                SetDynamicRangeTest(true, o.dynamic_range_amplitude, dr_frequency));
  if (ok && o.freq_scan_sine.size() == 3)
    ok &= Apply("--freq-scan-sine", "SetFreqScanSine",
                SetFreqScanSine(true, o.freq_scan_sine[0], o.freq_scan_sine[1],
                                static_cast<int>(o.freq_scan_sine[2])));
  if (ok && o.freq_scan_ecg) ok &= Apply("--freq-scan-ecg", "SetFreqScanECG", SetFreqScanECG(true));
  if (ok && o.baseline_reset >= 0)
    ok &= Apply("--baseline-reset", "SetBaselineResetTest", SetBaselineResetTest(o.baseline_reset));
  if (!ok) {
    SetOutputFunc(0);
    RegisterTimeAmpCB(nullptr);
    RegisterPacingTimeAmpCB(nullptr);
    return kExitUsage;
  }

  // Virtual instrument: until it has played the whole run (a little more,
  // for the half-sample steps of odd pulse widths); real hardware: real time.
  const bool progress = isatty(STDERR_FILENO) == 1;
  const std::uint64_t wanted =
      static_cast<std::uint64_t>(std::ceil(o.seconds * 5000 + o.seconds * 20)) + 1500;
  const auto start = std::chrono::steady_clock::now();
  auto seconds_since = [](std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  };
  bool stalled = false;
  std::uint64_t last_played = 0;
  auto last_progress = start;
  for (;;) {
    OrnaLinkStatus link{};
    link.size = sizeof link;
    if (OrnaGetLinkStatus(&link) == 0 && link.lost) break;  // nothing more will come
    double done;
    if (vi) {
      const std::uint64_t played = vi->stats().samples_played;
      done = played * kSamplePeriod;
      if (played >= wanted) break;
      if (o.speed > 0 && seconds_since(start) >= (o.seconds + 0.6) / o.speed) break;
      if (played != last_played) last_played = played, last_progress = std::chrono::steady_clock::now();
      if (seconds_since(last_progress) > 3.0) {
        stalled = true;  // the host stopped sending
        break;
      }
    } else {
      done = seconds_since(start);
      if (done >= o.seconds + 0.1) break;
    }
    if (progress) Progress(done, o.seconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(vi ? 10 : 100));
  }
  if (progress) {
    Progress(o.seconds, o.seconds);
    std::fprintf(stderr, "\n");
  }
  SetOutputFunc(0);
  RegisterTimeAmpCB(nullptr);
  RegisterPacingTimeAmpCB(nullptr);

  std::vector<Point> points;
  std::vector<std::uint64_t> pulse_frames;
  std::uint64_t frames = 0;
  {
    std::lock_guard<std::mutex> lock(g_capture.lock);
    // In the two-pulse modes the library can report a pulse again in the next
    // frame (its start check fires once more a sample later); pulses are at
    // least 150 ms apart, so a report within 10 ms of the last is the same one.
    for (std::uint64_t f : g_capture.pulse_frames)
      if (pulse_frames.empty() || (f - pulse_frames.back()) * kGraphPeriod > 0.010) pulse_frames.push_back(f);
    frames = g_capture.frames;
    if (!vi) points = g_capture.graph;
  }
  if (vi) {
    vi->stop_playback();
    // From the first sample played: the recording's time 0.
    const std::vector<emu::Sample> samples = vi->samples();
    const double t0 = samples.empty() ? 0 : samples.front().t;
    for (const auto& s : samples) {
      const double t = s.t - t0;
      if (t > o.seconds - 1e-7) break;
      points.push_back({t, s.mV, s.range_flag});
    }
    if (!points.empty() && pulse_s > 0)
      for (std::uint64_t f : pulse_frames) {
        if (f * kSamplesPerFrame >= samples.size()) continue;
        const std::size_t i = PulseStart(samples, f, pacing_amplitude);
        if (i < points.size()) points[i].pulse_s = pulse_s;
      }
  } else {
    while (!points.empty() && points.back().t > o.seconds - 1e-7) points.pop_back();
    if (pulse_s > 0)
      for (std::uint64_t f : pulse_frames)
        if (f < points.size()) points[f].pulse_s = pulse_s;
  }

  double lo = 0, hi = 0;
  if (!points.empty()) {
    auto [mn, mx] = std::minmax_element(points.begin(), points.end(),
                                        [](const Point& a, const Point& b) { return a.mV < b.mV; });
    lo = mn->mV;
    hi = mx->mV;
  }
  std::size_t pulses = 0;
  for (const auto& p : points) pulses += p.pulse_s > 0;
  std::fprintf(summary, "samples:          %zu\n", points.size());
  std::fprintf(summary, "min / max:        %.4f mV / %.4f mV\n", lo, hi);
  std::fprintf(summary, "pacing pulses:    %zu\n", pulses);
  std::string trouble;
  if (vi) {
    auto st = vi->stats();
    std::fprintf(summary, "packets:          %llu\n", static_cast<unsigned long long>(st.packets_received));
    std::fprintf(summary, "underruns:        %llu\n", static_cast<unsigned long long>(st.underruns));
    std::fprintf(summary, "sequence errors:  %llu\n", static_cast<unsigned long long>(st.sequence_gaps));
    if (st.underruns > 0 || st.sequence_gaps > 0 || st.header_errors > 0)
      trouble = std::to_string(st.underruns) + " underruns, " + std::to_string(st.sequence_gaps) +
                " sequence errors, " + std::to_string(st.header_errors) + " bad frame headers";
    else if (stalled)
      trouble = "the stream stopped before the end";
  } else if (frames * kGraphPeriod < o.seconds * 0.9) {
    trouble = "the instrument stopped asking for samples after " + Number(frames * kGraphPeriod) + " s";
  }
  // The library's view of the link: an unplugged instrument, or sequence
  // errors it reported (the only report of gaps that real hardware gives).
  OrnaLinkStatus link{};
  link.size = sizeof link;
  OrnaGetLinkStatus(&link);
  if (link.lost) {
    trouble = std::string("the instrument went away (") + GetUSBPort() + ")";
  } else if (trouble.empty() && link.sequence_errors > 0) {
    trouble = std::to_string(link.sequence_errors) + " sequence errors reported by the instrument";
  }
  std::fflush(summary);

  // The virtual instrument keeps every sample; the graph callback sees every 30th.
  const double period = vi ? kSamplePeriod : kGraphPeriod;
  const std::string equipment = "ORNA " + serial;
  const std::string version = std::string("liborna ") + GetSDKVersion();
  const std::string title = SettingsSummary(o);
  for (const auto& path : o.records) {
    if (!WriteRecording(path, points, period, title, equipment, version)) {
      std::fprintf(stderr, "orna: cannot write %s\n", path.c_str());
      return kExitIo;
    }
  }
  if (!o.plot.empty() && !WritePlot(o.plot, points, o.function, period)) {
    std::fprintf(stderr, "orna: cannot write %s\n", o.plot.c_str());
    return kExitIo;
  }
  if (!trouble.empty()) {
    std::fprintf(stderr, "orna: warning: the stream was not clean (%s); the recording has gaps\n",
                 trouble.c_str());
    return kExitStream;
  }
  return kExitOk;
}

}  // namespace orna::cli
