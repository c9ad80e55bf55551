#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "orna.h"
#include "played_stream.h"
#include "record_play.h"
#include "recording_stream.h"
#include "wfdb_recording.h"
#include "rhythm_play.h"
#include "setting_table.h"
#include "text.h"
#include "tools.h"

namespace orna::cli {

namespace {

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

// The signal that cut the run short (SIGINT, SIGTERM), 0 while none came.
volatile std::sig_atomic_t g_signal = 0;
void OnSignal(int signal) { g_signal = signal; }

// While a run is on, SIGINT and SIGTERM end it early: what was recorded is
// still written. A second signal ends the program at once (SA_RESETHAND).
class SignalsEndTheRun {
 public:
  SignalsEndTheRun() {
    g_signal = 0;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~SignalsEndTheRun() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }
  SignalsEndTheRun(const SignalsEndTheRun&) = delete;
  SignalsEndTheRun& operator=(const SignalsEndTheRun&) = delete;

 private:
  struct sigaction old_int_ {}, old_term_ {};
};

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

}  // namespace

const char* RefusalText(const char* function, int code) {
  const char* text = OrnaResultText(function, code);
  return text != nullptr ? text : "value not accepted";
}

int FunctionNumber(const std::string& s) {
  const int named = FunctionByName(s);
  if (named > 0) return named;
  char* end = nullptr;
  long n = std::strtol(s.c_str(), &end, 10);
  if (!s.empty() && *end == 0 && n >= 1 && n <= OutputFuncECGFile) return static_cast<int>(n);
  return -1;
}

namespace {

// "pulse and triangle-pulse": the functions a setting is for.
std::string FunctionsText(unsigned functions) {
  if (functions == FunctionBit(OutputFuncECGFile)) return "the 'file' function";
  std::string text;
  for (int f = 1; f <= OutputFuncECGFile; ++f)
    if (functions & FunctionBit(f)) text += (text.empty() ? "" : " and ") + std::string(FunctionName(f));
  return text;
}

// Why a heart rate does not fit `fn`, naming it.
std::string BpmMisfit(int fn) {
  const SettingSpec& frequency = *FindSetting("frequency");
  if (!(frequency.functions & FunctionBit(fn))) return frequency.misfit;
  return std::string(FunctionName(fn)) + " is not a heartbeat: give its --frequency in Hz";
}

}  // namespace

std::string MisfitSetting(const PlayOptions& o, int fn) {
  if (!std::isnan(o.frequency) && !std::isnan(o.bpm)) return "--frequency and --bpm both given: give one of them";
  // Settings for some functions only, then those some functions do without,
  // then the test modes.
  auto misfit = [&](bool test_modes, bool own_reason) -> std::string {
    for (const auto& s : SettingTable()) {
      if (!s.option || s.test_mode != test_modes || (s.misfit != nullptr) != own_reason) continue;
      if (!Given(s, o) || (s.functions & FunctionBit(fn))) continue;
      if (s.real == &PlayOptions::bpm) return "--bpm does nothing here: " + BpmMisfit(fn);
      if (own_reason) return OptionName(s) + " does nothing here: " + s.misfit;
      return OptionName(s) + " does nothing here: it is for " + FunctionsText(s.functions) + " only";
    }
    return "";
  };
  const bool passes[][2] = {{false, false}, {false, true}, {true, false}};
  for (const auto& pass : passes)
    if (std::string m = misfit(pass[0], pass[1]); !m.empty()) return m;
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
  if (IsRhythm(o)) s += " " + o.rhythm;
  if (IsRecord(o)) s += " " + o.record_path.substr(o.record_path.rfind('/') + 1);
  // Short keys, units as in the options (mV, Hz, ms, per minute): the EDF+
  // header has about 40 characters for them.
  auto add = [&](const char* key, double v, const char*) {
    if (!std::isnan(v)) s += std::string(" ") + key + "=" + Number(v);
  };
  add("A", o.amplitude, "mV");
  add("F", IsRhythm(o) ? NAN : FrequencyOf(o), "Hz");  // a rhythm's bpm is not output 13's frequency
  add("BPM", o.bpm, "/min");
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
  if (o.seed >= 0) s += " seed=" + std::to_string(o.seed);
  for (const auto& [name, value] : o.rhythm_params) s += " " + name + "=" + Number(value);
  return s;
}

namespace {

// Refuses what cannot work before anything is opened: an unknown function,
// settings that do not fit it, outputs that cannot be written. kExitOk when
// the run may go ahead.
int CheckPlay(const PlayOptions& o, int fn, bool rhythm) {
  if (fn < 0) {
    std::fprintf(stderr, "orna: unknown output function '%s' (see orna play --help)\n", o.function.c_str());
    return kExitUsage;
  }
  if (!rhythm && !o.rhythm.empty()) {
    std::fprintf(stderr, "orna: a rhythm's name goes after 'rhythm' only: orna play rhythm %s\n",
                 TerminalSafe(o.rhythm).c_str());
    return kExitUsage;
  }
  if (!rhythm && (o.seed >= 0 || !o.rhythm_params.empty())) {
    std::fprintf(stderr, "orna: --%s does nothing here: it is for 'orna play rhythm NAME' only\n",
                 o.seed >= 0 ? "seed" : o.rhythm_params.begin()->first.c_str());
    return kExitUsage;
  }
  std::string misfit = MisfitSetting(o, fn);
  if (!misfit.empty()) {
    std::fprintf(stderr, "orna: %s\n", misfit.c_str());
    return kExitUsage;
  }
  // The library's refusal would speak of hertz.
  if (const SettingSpec& bpm = *FindSetting("bpm"); !std::isnan(o.bpm) && !(o.bpm >= bpm.lo && o.bpm <= bpm.hi)) {
    std::fprintf(stderr, "orna: --bpm refused: heart rate outside %g to %g per minute\n", bpm.lo, bpm.hi);
    return kExitUsage;
  }
  // The library would take it and bring it down to 3 Hz once the function is on.
  if ((fn == OutputFuncPulse || fn == OutputFuncTrianglePulse) && o.frequency > 3) {
    std::fprintf(stderr, "orna: --frequency refused: %s\n", RefusalText("SetFrequency", -2));
    return kExitUsage;
  }
  if (fn == OutputFuncECGFile && o.file.empty() && !rhythm) {
    std::fprintf(stderr, "orna: the 'file' function needs --file PATH (a text waveform)\n");
    return kExitUsage;
  }
  // The library takes paths as UTF-16: a name that is not UTF-8 has no such form.
  if (std::u16string wide; !o.file.empty() && !Utf8ToUtf16(o.file, &wide)) {
    std::fprintf(stderr, "orna: --file %s: the file name is not valid UTF-8 (or holds a NUL)\n",
                 TerminalSafe(o.file).c_str());
    return kExitUsage;
  }
  if (!(o.seconds > 0 && o.seconds <= kMaxPlaySeconds)) {
    std::fprintf(stderr, "orna: --seconds must be more than 0 and at most %g\n", kMaxPlaySeconds);
    return kExitUsage;
  }
  if (!o.plot.empty() && !IsPngPath(o.plot)) {
    std::fprintf(stderr, "orna: --plot writes PNG: give a file name ending in .png\n");
    return kExitUsage;
  }
  // Outputs are checked before the run, not after it.
  std::vector<std::string> outputs = o.records;
  if (!o.plot.empty()) outputs.push_back(o.plot);
  for (const auto& path : outputs) {
    std::string why;
    if (!CanWrite(path, &why)) {
      std::fprintf(stderr, "orna: cannot write %s: %s\n", TerminalSafe(path).c_str(),
                   TerminalSafe(why).c_str());
      return kExitIo;
    }
  }
  return kExitOk;
}

// The settings given, in the table's order, before the function starts; the
// leads given are switched on (the others keep their state).
bool ApplySettings(const PlayOptions& o) {
  bool ok = true;
  for (const auto& s : SettingTable()) {
    if (!s.option || s.test_mode || !Given(s, o) || s.kind == SettingKind::Path) continue;
    if (s.kind == SettingKind::Leads) {
      for (int lead : o.leads) ok &= Apply("--lead", s.setter, SetOutputLead(lead, true));
    } else if (s.apply) {
      ok &= Apply(OptionName(s).c_str(), s.setter, s.apply(o));
    }
  }
  if (o.no_impedance) ok &= Apply("--no-impedance", "SetInputImpedanceMode", SetInputImpedanceMode(false));
  if (ok && !o.file.empty()) {
    std::u16string path;
    Utf8ToUtf16(o.file, &path);  // checked before the run
    int n = LoadECGtxt(path.c_str());
    if (n <= 0) {
      std::fprintf(stderr, "orna: cannot load %s: %s\n", TerminalSafe(o.file).c_str(), RefusalText("LoadECGtxt", n));
      return false;
    }
  }
  return ok;
}

// Starts the function, then the test modes given (they act on the function
// now selected); stops at the first refusal.
bool StartPlaying(const PlayOptions& o, int fn) {
  const char* starter = nullptr;
  const int started = StartFunction(fn, std::max(0, o.iec), &starter);
  if (!Apply(fn == OutputFuncIEC227 || fn == OutputFuncIEC251 ? "--iec" : "function", starter, started))
    return false;
  for (const auto& s : SettingTable())
    if (s.test_mode && !s.part_of[0] && TestModeOn(s, o) && !Apply(OptionName(s).c_str(), s.setter, s.apply(o)))
      return false;
  return true;
}

void StartCapture(bool keep_graph) {
  {
    std::lock_guard<std::mutex> lock(g_capture.lock);
    g_capture.frames = g_capture.pacing_points = 0;
    g_capture.graph.clear();
    g_capture.pulse_frames.clear();
    g_capture.keep_graph = keep_graph;
  }
  RegisterTimeAmpCB(OnGraph);
  RegisterPacingTimeAmpCB(OnPacing);
}

void StopPlaying() {
  SetOutputFunc(OutputFuncNone);
  RegisterTimeAmpCB(nullptr);
  RegisterPacingTimeAmpCB(nullptr);
}

double SecondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Waits for the run to end: on the virtual instrument until it has played the
// whole run (a little more, for the half-sample steps of odd pulse widths), on
// real hardware in real time, or until a signal came; returns whether the
// stream stalled. `*done_s`: the seconds played.
bool WaitForRun(const PlayOptions& o, emu::VirtualInstrument* vi, double* done_s,
                const std::function<void()>& drain) {
  const bool progress = isatty(STDERR_FILENO) == 1;
  const std::uint64_t wanted =
      static_cast<std::uint64_t>(std::ceil(o.seconds * 5000 + o.seconds * 20)) + 1500;
  const auto start = std::chrono::steady_clock::now();
  bool stalled = false;
  std::uint64_t last_played = 0;
  auto last_progress = start;
  double done = 0;
  while (g_signal == 0) {
    OrnaLinkStatus link{};
    link.size = sizeof link;
    if (OrnaGetLinkStatus(&link) == 0 && link.lost) break;  // nothing more will come
    if (vi) {
      drain();
      const emu::Stats st = vi->stats();
      const std::uint64_t played = st.samples_played;
      done = played * kSamplePeriod;
      if (played >= wanted) break;
      // A clock of its own: the run is over once that clock has passed its
      // end, whether the host kept up or not (a tick without a sample is an
      // underrun). Judged by the clock's own ticks, not by this program's
      // time, which a loaded machine may give it before the clock has run.
      if (o.speed > 0 && (played + st.underruns >= wanted ||
                          SecondsSince(start) >= (o.seconds + 0.6) / o.speed + 3.0))
        break;
      if (played != last_played) last_played = played, last_progress = std::chrono::steady_clock::now();
      if (SecondsSince(last_progress) > 3.0) {
        stalled = true;  // the host stopped sending
        break;
      }
    } else {
      done = SecondsSince(start);
      if (done >= o.seconds + 0.1) break;
    }
    if (progress) Progress(done, o.seconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(vi ? 10 : 100));
  }
  if (g_signal == 0) done = o.seconds;
  if (progress) {
    Progress(done, o.seconds);
    std::fprintf(stderr, "\n");
  }
  *done_s = std::min(done, o.seconds);
  return stalled;
}

// The recording on real hardware: the graph points, each pacing pulse marked
// where it began. `*frames`: the frames the graph callback saw.
std::vector<Point> CollectPoints(const PlayOptions& o, double pulse_s, std::uint64_t* frames) {
  std::vector<Point> points;
  std::vector<std::uint64_t> pulse_frames;
  {
    std::lock_guard<std::mutex> lock(g_capture.lock);
    // In the two-pulse modes the library can report a pulse again in the next
    // frame (its start check fires once more a sample later); pulses are at
    // least 150 ms apart, so a report within 10 ms of the last is the same one.
    for (std::uint64_t f : g_capture.pulse_frames)
      if (pulse_frames.empty() || (f - pulse_frames.back()) * kGraphPeriod > 0.010) pulse_frames.push_back(f);
    *frames = g_capture.frames;
    points = g_capture.graph;
  }
  while (!points.empty() && points.back().t > o.seconds - 1e-7) points.pop_back();
  if (pulse_s > 0)
    for (std::uint64_t f : pulse_frames)
      if (f < points.size()) points[f].pulse_s = pulse_s;
  return points;
}

// What the summary says of the recorded points.
struct Figures {
  std::size_t count = 0, pulses = 0;
  double lo = 0, hi = 0;
  void Add(const Point& p) {
    lo = count == 0 ? p.mV : std::min(lo, p.mV);
    hi = count == 0 ? p.mV : std::max(hi, p.mV);
    ++count;
    pulses += p.pulse_s > 0;
  }
};

// The points a plot needs of a recording of any length: those it draws, and
// of the rest the last (its length) and the extremes on the normal range
// (its vertical span); they lie beyond the rows drawn.
class PlotPoints {
 public:
  void Add(const Point& p, const std::vector<std::string>& labels) {
    if (p.t < kMaxPlotSeconds) {
      for (const auto& text : labels) labels_.push_back({drawn_.size(), text});
      drawn_.push_back(p);
      return;
    }
    if (!p.high_range) {
      if (!low_ || p.mV < low_->mV) low_ = p;
      if (!high_ || p.mV > high_->mV) high_ = p;
    }
    last_ = p;
  }
  std::vector<Point> Take() {
    std::vector<Point> points = std::move(drawn_);
    std::vector<Point> beyond;
    for (const auto* p : {&low_, &high_, &last_})
      if (*p) beyond.push_back(**p);
    std::sort(beyond.begin(), beyond.end(), [](const Point& a, const Point& b) { return a.t < b.t; });
    points.insert(points.end(), beyond.begin(), beyond.end());
    return points;
  }
  // The labels of the points drawn (call before Take).
  const std::vector<Label>& labels() const { return labels_; }

 private:
  std::vector<Point> drawn_;
  std::vector<Label> labels_;
  std::optional<Point> low_, high_, last_;
};

// The rate played, as the library has it (it lowers one above the function's
// limit), per minute too for a heartbeat; "" when the function has its own
// rate or a scan moves it.
std::string RateInForce(const PlayOptions& o, int fn) {
  if (!(FindSetting("frequency")->functions & FunctionBit(fn)) || o.freq_scan_ecg || !o.freq_scan_sine.empty())
    return "";
  const double hz = GetFrequency();
  std::string rate = Number(hz) + " Hz";
  if (FindSetting("bpm")->functions & FunctionBit(fn)) rate += " (" + Number(hz * kSecondsPerMinute) + " bpm)";
  return rate;
}

// Prints the rate, samples, range and pulses (and the virtual instrument's counts);
// returns what made the stream unclean, or "".
std::string ReportRun(std::FILE* summary, const std::string& rate, const Figures& points,
                      emu::VirtualInstrument* vi, bool stalled, std::uint64_t frames, double seconds) {
  if (summary && !rate.empty()) std::fprintf(summary, "frequency:        %s\n", rate.c_str());
  if (summary) {
    std::fprintf(summary, "samples:          %zu\n", points.count);
    std::fprintf(summary, "min / max:        %.4f mV / %.4f mV\n", points.lo, points.hi);
    std::fprintf(summary, "pacing pulses:    %zu\n", points.pulses);
  }
  std::string trouble;
  if (vi) {
    auto st = vi->stats();
    if (summary) {
      std::fprintf(summary, "packets:          %llu\n", static_cast<unsigned long long>(st.packets_received));
      std::fprintf(summary, "underruns:        %llu\n", static_cast<unsigned long long>(st.underruns));
      std::fprintf(summary, "sequence errors:  %llu\n", static_cast<unsigned long long>(st.sequence_gaps));
    }
    if (st.underruns > 0 || st.sequence_gaps > 0 || st.header_errors > 0)
      trouble = std::to_string(st.underruns) + " underruns, " + std::to_string(st.sequence_gaps) +
                " sequence errors, " + std::to_string(st.header_errors) + " bad frame headers";
    else if (stalled)
      trouble = "the stream stopped before the end";
  } else if (frames * kGraphPeriod < seconds * 0.9) {
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
  if (summary) std::fflush(summary);
  return trouble;
}

std::string Equipment(const std::string& serial) { return "ORNA " + serial; }
std::string Version() { return std::string("liborna ") + GetSDKVersion(); }

// The plot asked for; false (said why) when it fails. `quiet`: nothing said
// of what it leaves out.
bool WritePlotOf(const PlayOptions& o, const std::vector<Point>& points, double period, bool quiet,
                 const std::vector<Label>& labels) {
  if (o.plot.empty()) return true;
  const std::string what = IsRhythm(o)   ? o.function + " " + o.rhythm
                           : IsRecord(o) ? o.function + " " + o.record_path.substr(o.record_path.rfind('/') + 1)
                                         : o.function;
  if (!WritePlot(o.plot, points, what, period, labels)) {
    std::fprintf(stderr, "orna: cannot write %s\n", o.plot.c_str());
    return false;
  }
  const double drawn = PlottedSeconds(points);
  if (!quiet && !points.empty() && points.back().t > drawn)
    std::fprintf(stderr, "orna: the plot shows the first %g s of %.1f s\n", drawn, points.back().t);
  return true;
}

// The recordings and the plot asked for, of the points kept (real hardware);
// false (said why) when one fails.
bool WriteOutputs(const PlayOptions& o, const std::vector<Point>& points, double period, const std::string& serial,
                  const std::vector<Label>& labels) {
  for (const auto& path : o.records) {
    if (!WriteRecording(path, points, period, SettingsSummary(o), Equipment(serial), Version(), labels)) {
      std::fprintf(stderr, "orna: cannot write %s\n", path.c_str());
      return false;
    }
  }
  return WritePlotOf(o, points, period, false, labels);
}

// The virtual instrument's run, recorded as it plays: the recordings are
// written as the points arrive, the plot keeps what it draws.
class StreamedRun {
 public:
  // `seconds`: what is played (a record's length when it plays to its end).
  StreamedRun(const PlayOptions& o, double seconds, emu::VirtualInstrument* vi, double pulse_s,
              double pacing_amplitude, const signals::Rendered* rhythm)
      : o_(o), vi_(vi), stream_(seconds, pulse_s, pacing_amplitude, rhythm,
                                [this](const Point& p, const std::vector<std::string>& labels) { Take(p, labels); }) {}

  // Opens the recordings; false (said why) when one cannot be.
  bool Open(const std::string& serial, bool annotated) {
    for (const auto& path : o_.records) {
      auto w = OpenRecording(path, kSamplePeriod, SettingsSummary(o_), Equipment(serial), Version(), annotated);
      if (!w) {
        std::fprintf(stderr, "orna: cannot write %s\n", path.c_str());
        return false;
      }
      writers_.push_back(std::move(w));
    }
    return true;
  }
  // Takes what the instrument has played since the last call.
  void Drain() {
    stream_.AddSamples(vi_->take_samples());
    std::uint64_t frames = 0;
    {
      std::lock_guard<std::mutex> lock(g_capture.lock);
      frames = g_capture.frames;
      for (; pulses_seen_ < g_capture.pulse_frames.size(); ++pulses_seen_)
        stream_.AddPulseFrame(g_capture.pulse_frames[pulses_seen_]);
    }
    stream_.Advance(frames);
  }
  // The run is over: the rest is taken, the recordings closed.
  bool Finish() {
    vi_->stop_playback();
    Drain();
    stream_.Finish();
    bool ok = true;
    for (std::size_t i = 0; i < writers_.size(); ++i)
      if (!writers_[i]->Close()) {
        std::fprintf(stderr, "orna: cannot write %s\n", o_.records[i].c_str());
        ok = false;
      }
    writers_.clear();
    return ok;
  }
  // The run did not start: no recording is left behind.
  void Discard() {
    writers_.clear();
    for (const auto& path : o_.records)
      if (path != "-" && !IsEdfPath(path) && !IsWfdbPath(path)) std::remove(path.c_str());
  }
  const Figures& figures() const { return figures_; }
  std::vector<Label> PlotLabels() const { return plot_.labels(); }
  std::vector<Point> TakePlotPoints() { return plot_.Take(); }

 private:
  void Take(const Point& p, const std::vector<std::string>& labels) {
    figures_.Add(p);
    if (!o_.plot.empty()) plot_.Add(p, labels);
    for (auto& w : writers_) w->Add(p, labels);
  }
  const PlayOptions& o_;
  emu::VirtualInstrument* vi_;
  PlayedStream stream_;
  std::vector<std::unique_ptr<RecordingWriter>> writers_;
  std::size_t pulses_seen_ = 0;
  Figures figures_;
  PlotPoints plot_;
};

// Requests the virtual instrument keeps in flight when it plays as fast as
// the host answers: the answers overlap, the samples stay the same. The
// library reads at most 64 requests a pass.
constexpr int kFloodDepth = 64;

int Play(const PlayOptions& options, bool render) {
  // A rhythm is rendered here and played as output 13's waveform.
  // So is a record.
  const bool rhythm = IsRhythm(options) || IsRecord(options);
  RhythmLoop loop;
  if (rhythm) {
    const int refused = IsRecord(options) ? PrepareRecord(options, &loop, render) : PrepareRhythm(options, &loop);
    if (refused != kExitOk) return refused;
  }
  const PlayOptions& o = rhythm ? loop.library : options;
  const int fn = rhythm ? OutputFuncECGFile : FunctionNumber(o.function);
  if (const int refused = CheckPlay(o, fn, rhythm); refused != kExitOk) return refused;
  // CSV on standard output keeps it for the data alone; a rendering says nothing.
  FILE* summary = render ? nullptr
                         : std::find(o.records.begin(), o.records.end(), "-") != o.records.end() ? stderr : stdout;

  const SignalsEndTheRun signals;
  auto session = Session::Open(o.emulate, o.port, o.serial);
  if (!session) return kExitNoInstrument;
  if (!ApplySettings(o)) return kExitUsage;
  if (const int n = rhythm ? LoadRhythm(&loop.rendered) : 1; n <= 0) {
    std::fprintf(stderr, "orna: the rhythm was not loaded: %s\n", RefusalText("OrnaLoadECGSamples", n));
    return kExitUsage;
  }
  const std::string serial = GetSerialNo() ? GetSerialNo() : "unknown";
  const double pulse_s = GetPacingAmplitude() != 0 ? GetPacingDuration() / 1000 : 0;
  const double pacing_amplitude = GetPacingAmplitude();

  auto* vi = session->instrument();
  std::optional<StreamedRun> streamed;
  if (vi) {
    streamed.emplace(options, o.seconds, vi, pulse_s, pacing_amplitude, rhythm ? &loop.rendered : nullptr);
    if (!streamed->Open(serial, rhythm)) return kExitIo;
  }
  StartCapture(vi == nullptr);
  if (vi) {
    if (o.speed > 0) vi->start_playback(o.speed);
    else vi->start_flood(kFloodDepth);
  }
  if (!StartPlaying(o, fn)) {
    StopPlaying();
    if (streamed) streamed->Discard();
    return kExitUsage;
  }
  double played = 0;
  const bool stalled = WaitForRun(o, vi, &played, [&] { streamed->Drain(); });
  const std::string rate = RateInForce(o, fn);
  StopPlaying();

  const int signal = g_signal;
  if (signal != 0)
    std::fprintf(stderr, "orna: %s after %.1f s: writing what was recorded\n",
                 signal == SIGINT ? "interrupted" : "terminated", played);
  std::uint64_t frames = 0;
  std::string trouble;
  if (vi) {
    const bool written = streamed->Finish();
    {
      std::lock_guard<std::mutex> lock(g_capture.lock);
      frames = g_capture.frames;
    }
    trouble = ReportRun(summary, rate, streamed->figures(), vi, stalled, frames, played);
    const std::vector<Label> plot_labels = streamed->PlotLabels();
    if (!written || !WritePlotOf(options, streamed->TakePlotPoints(), kSamplePeriod, render, plot_labels))
      return kExitIo;
  } else {
    const std::vector<Point> points = CollectPoints(o, pulse_s, &frames);
    const std::vector<Label> labels = rhythm ? PlayedLabels(loop.rendered, points) : std::vector<Label>{};
    Figures figures;
    for (const auto& p : points) figures.Add(p);
    trouble = ReportRun(summary, rate, figures, vi, stalled, frames, played);
    // The graph callback sees every 30th sample.
    if (!WriteOutputs(options, points, kGraphPeriod, serial, labels)) return kExitIo;
  }
  if (signal != 0) return kExitSignalBase + signal;
  if (!trouble.empty()) {
    std::fprintf(stderr, "orna: warning: the stream was not clean (%s); the recording has gaps\n",
                 trouble.c_str());
    return kExitStream;
  }
  return kExitOk;
}

}  // namespace

int RunPlay(const PlayOptions& options) { return Play(options, false); }

int RunRender(const PlayOptions& options) {
  if (options.records.empty() && options.plot.empty()) {
    std::fprintf(stderr, "orna: render writes recordings: give --record FILE (or --plot FILE.png)\n");
    return kExitUsage;
  }
  PlayOptions o = options;
  o.emulate = true;
  o.speed = 0;
  return Play(o, true);
}

}  // namespace orna::cli
