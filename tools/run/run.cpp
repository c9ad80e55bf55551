#include "run/run.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "emulator/playback.h"
#include "orna.h"
#include "orna_version.h"
#include "rhythm_play.h"
#include "run/answers.h"
#include "run/files.h"
#include "run/monitor_link.h"
#include "run/settings.h"
#include "text.h"

namespace orna::cli::run {

namespace {

constexpr double kSamplePeriod = 1.0 / 5000;
constexpr double kGraphPeriod = 30 * kSamplePeriod;  // the graph callback sees one sample in 30
constexpr double kStripSeconds = 5;
constexpr std::size_t kMaxReportFile = 64 << 20;  // far above the largest sequence's report
// A step passes only when it played its whole duration, less at most the
// last packet (1600 samples) that the instrument had not asked for yet.
constexpr double kPlayTolerance = 1600 * kSamplePeriod;

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted = true; }

// Real hardware: what the graph callback reports is all there is to see.
struct Capture {
  std::mutex lock;
  std::uint64_t frames = 0;
  std::vector<Point> points;
  std::vector<double> pulses;  // s, in the points' time
};
Capture g_capture;
void OnGraph(double, double v) {
  std::lock_guard<std::mutex> lock(g_capture.lock);
  g_capture.points.push_back({g_capture.frames * kGraphPeriod, v, false});
  ++g_capture.frames;
}
// Each pacing pulse comes as the four corners of a rectangle, and in the
// two-pulse modes once more a frame later: pulses are at least 150 ms apart,
// so one within 10 ms of the last is the same.
void OnPacing(double, double) {
  std::lock_guard<std::mutex> lock(g_capture.lock);
  const double t = (g_capture.frames > 0 ? g_capture.frames - 1 : 0) * kGraphPeriod;
  if (g_capture.pulses.empty() || t - g_capture.pulses.back() > 0.010) g_capture.pulses.push_back(t);
}

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string Text(const char* s) { return s ? s : ""; }

// "2026-03-01T14:05:09+01:00"
std::string IsoNow() {
  char buf[40];
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &tm);
  // The offset as ISO 8601's extended form writes it: +01:00, not +0100.
  std::string s = buf;
  if (s.size() >= 5) s.insert(s.size() - 2, ":");
  return s;
}

std::string Absolute(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  const std::string out = real ? real : path;
  std::free(real);
  return out;
}

std::string Host() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

// Strips are kept beside the JSON report, one file a step, so that a resumed
// run still shows the steps played before: r.json keeps them in r.strips/.
std::string StripFile(const std::string& json_path, std::size_t step) {
  const std::size_t n = json_path.size();
  const std::string base = n > 5 && json_path.compare(n - 5, 5, ".json") == 0 ? json_path.substr(0, n - 5) : json_path;
  return base + ".strips/step-" + std::to_string(step + 1) + ".json";
}

bool SaveStrip(const std::string& file, const Strip& strip) {
  const std::string dir = file.substr(0, file.rfind('/') == std::string::npos ? 0 : file.rfind('/'));
  if (!dir.empty() && ::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return false;
  return ReplaceFile(file, StripJson(strip));
}

// Outside text for the terminal, line by line.
std::string Safe(const std::string& text) {
  std::string out;
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find('\n', at);
    out += TerminalSafe(std::string_view(text).substr(at, end == std::string::npos ? end : end - at));
    if (end == std::string::npos) return out;
    out += '\n';
    at = end + 1;
  }
}

bool ParseNumber(const std::string& s, double* v) {
  char* end = nullptr;
  *v = std::strtod(s.c_str(), &end);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  // The whole line: "1" followed by a NUL and more is not a number.
  return !s.empty() && end == s.c_str() + s.size() && std::isfinite(*v);
}

}  // namespace

int RunSequence(const RunOptions& o) {
  Sequence seq;
  std::vector<std::string> errors;
  if (!LoadSequence(o.file, &seq, &errors)) {
    for (const auto& e : errors) std::fprintf(stderr, "%s\n", Safe(e).c_str());
    std::fprintf(stderr, "orna: %zu error%s in %s; nothing was played\n", errors.size(),
                 errors.size() == 1 ? "" : "s", Safe(o.file).c_str());
    return kExitUsage;
  }
  Answers answers;
  std::string why_not;
  if (!o.answers.empty() && !answers.Load(o.answers, &why_not)) {
    std::fprintf(stderr, "orna: cannot take answers from %s: %s\n", Safe(o.answers).c_str(), why_not.c_str());
    return kExitUsage;
  }
  // The monitor under test: the sequence's [device], then --device over it.
  std::vector<std::pair<std::string, std::string>> device = seq.device;
  for (const std::string& kv : o.device) {
    const std::size_t eq = kv.find('=');
    const std::string key = kv.substr(0, eq);
    if (eq == std::string::npos ||
        std::find(std::begin(kDeviceKeys), std::end(kDeviceKeys), key) == std::end(kDeviceKeys)) {
      std::fprintf(stderr,
                   "orna: --device %s: give KEY=VALUE, KEY one of manufacturer, model, serial, software, notes\n",
                   Safe(kv).c_str());
      return kExitUsage;
    }
    auto it = std::find_if(device.begin(), device.end(), [&](const auto& d) { return d.first == key; });
    if (it != device.end()) it->second = kv.substr(eq + 1);
    else device.emplace_back(key, kv.substr(eq + 1));
  }
  const auto rank = [](const std::string& key) {
    return std::find(std::begin(kDeviceKeys), std::end(kDeviceKeys), key) - std::begin(kDeviceKeys);
  };
  std::stable_sort(device.begin(), device.end(),
                   [&](const auto& a, const auto& b) { return rank(a.first) < rank(b.first); });
  Report report;
  report.results.assign(seq.steps.size(), StepResult());
  std::string json_path = o.json;
  if (!o.resume.empty()) {
    std::string text, error;
    if (!ReadRegularFile(o.resume, kMaxReportFile, &text, &error) || !ReadReportJson(text, seq, &report, &error)) {
      std::fprintf(stderr, "orna: cannot resume from %s: %s\n", Safe(o.resume).c_str(), Safe(error).c_str());
      return kExitUsage;
    }
    if (json_path.empty()) json_path = o.resume;
    // The strips of the steps played before, where they were kept.
    for (std::size_t i = 0; i < seq.steps.size(); ++i) {
      std::string text, ignored;
      StepResult& x = report.results[i];
      if (x.done && ReadRegularFile(StripFile(Absolute(o.resume), i), kMaxReportFile, &text, &ignored) &&
          ReadStripJson(text, &x.strip))
        x.strip_png = StripPng(x.strip);
    }
  }
  // Outputs are checked before anything is played; a link is followed to the file it names.
  std::string report_path = o.report, record_path = o.record, pdf_path = o.pdf;
  for (std::string* path : {&report_path, &json_path, &pdf_path, &record_path}) {
    if (path->empty() || (path == &record_path && *path == "-")) continue;
    if (!CheckOutput(*path, path, &why_not)) {
      std::fprintf(stderr, "orna: cannot write %s: %s\n", Safe(*path).c_str(), why_not.c_str());
      return kExitIo;
    }
  }
  std::size_t first = 0;
  while (first < seq.steps.size() && report.results[first].done) ++first;

  report.title = seq.title;
  report.source = seq.source;
  report.file = Absolute(o.file);
  report.checksum = seq.checksum;
  if (report.date.empty()) report.date = IsoNow();
  if (!o.operator_name.empty()) report.operator_name = o.operator_name;
  report.library_version = Text(GetSDKVersion());
  report.tool_version = ORNA_VERSION_TEXT;
  report.host = Host();
  report.device = device;
  if (answers.from_file()) {
    report.answers_file = Absolute(o.answers);
    report.answers_checksum = answers.checksum();
  }

  auto session = Session::Open(o.emulate, o.port);
  if (!session) return kExitNoInstrument;
  report.instrument = {Text(GetSerialNo()), Text(GetHWVersion()), Text(GetFWVersion()), Text(GetUSBPort()),
                       session->instrument() != nullptr};
  if (!o.serial.empty() && report.instrument.serial != o.serial) {
    std::fprintf(stderr, "orna: the instrument found is %s, not %s\n", Safe(report.instrument.serial).c_str(),
                 Safe(o.serial).c_str());
    return kExitNoInstrument;
  }
  const PlayOptions defaults = ReadDefaults();
  auto* vi = session->instrument();
  MonitorLink monitor;
  if (!monitor.Start(o, vi, &why_not)) {
    std::fprintf(stderr, "orna: %s\n", Safe(why_not).c_str());
    return kExitUsage;
  }
  const auto by_monitor = [](const Step& s) { return s.monitor.judged(); };
  if (!monitor.active() && std::any_of(seq.steps.begin(), seq.steps.end(), by_monitor)) {
    std::fprintf(stderr, "orna: the sequence has steps judged by the monitor: give --monitor-hl7 PORT, or "
                         "--virtual-monitor with --emulate\n");
    return kExitUsage;
  }
  const double period = vi ? kSamplePeriod : kGraphPeriod;
  RegisterTimeAmpCB(vi ? nullptr : OnGraph);
  RegisterPacingTimeAmpCB(vi ? nullptr : OnPacing);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;  // no SA_RESTART: a prompt waiting for a line gives up
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  const auto started = Clock::now();
  const double earlier_wall = report.wall_seconds;
  // A report that cannot be written (a full disk) keeps the last one written, which --resume takes.
  // The PDF, a document to hand in and the slowest to lay out, is written once, when the run ends.
  auto save = [&](bool last) {
    report.wall_seconds = earlier_wall + Since(started);
    bool ok = true;
    for (const std::string* path : {&json_path, &report_path, &pdf_path}) {
      if (path->empty() || (path == &pdf_path && !last)) continue;
      const std::string text = path == &json_path     ? ReportJson(seq, report)
                               : path == &report_path ? ReportHtml(seq, report)
                                                      : ReportPdf(seq, report);
      errno = EIO;  // cairo made no PDF
      if (!text.empty() && ReplaceFile(*path, text)) continue;
      std::fprintf(stderr, "orna: cannot write %s (%s); it keeps the report written before\n", Safe(*path).c_str(),
                   std::strerror(errno));
      ok = false;
    }
    return ok;
  };

  std::vector<Point> record;
  std::vector<Label> labels;  // the rhythms' annotations, on the record's points
  bool incomplete = false;
  std::string why;
  for (std::size_t i = first; i < seq.steps.size() && !incomplete; ++i) {
    const Step& st = seq.steps[i];
    StepResult& x = report.results[i];
    x = StepResult();
    std::fprintf(stderr, "[%zu/%zu] %s\n", i + 1, seq.steps.size(), Safe(st.name).c_str());
    const emu::Stats before = vi ? vi->stats() : emu::Stats();
    if (vi) vi->clear();
    {
      std::lock_guard<std::mutex> lock(g_capture.lock);
      g_capture.points.clear();
      g_capture.pulses.clear();
    }
    std::uint64_t frames_before = 0;
    {
      std::lock_guard<std::mutex> lock(g_capture.lock);
      frames_before = g_capture.frames;
    }
    std::string error;
    std::vector<std::string> keys;
    for (const auto& kv : st.settings) keys.push_back(kv.first);
    // A resumed run starts the function of the step it resumes at. A rhythm
    // starts afresh at every step, so that its annotations start with the step.
    const bool rhythm = !st.state.rhythm.empty();
    RhythmLoop loop;
    bool ok = false;
    if (rhythm)
      ok = PrepareRhythm(st.state, &loop) == kExitOk &&
           ApplyAll(loop.library, st.function, defaults, &error, &loop.rendered);
    else
      ok = st.names_function || i == first ? ApplyAll(st.state, st.function, defaults, &error)
                                           : ApplyChanges(st.state, keys, &error);
    if (!ok && error.empty()) error = "the rhythm " + st.state.rhythm + " was refused";
    if (!ok) {
      std::fprintf(stderr, "orna: %s:%d: %s\n", Safe(o.file).c_str(), st.line, Safe(error).c_str());
      why = "a setting was refused";
      incomplete = true;
      break;
    }
    const auto change = Clock::now();
    // Samples of packets the host built before the change play first: those
    // queued, and the packet a request in flight brings. They belong to the
    // step before and are left out of what this step measures.
    const std::size_t stale = vi ? vi->queued_samples() + emu::kSamplesPerPacket : 0;
    x.started = IsoNow();
    monitor.StepStarted();
    const bool waited = !st.timed || answers.from_file();
    if (vi) {
      // Without a clock a step of a set length plays exactly that many samples.
      if (o.speed > 0) vi->start_playback(o.speed);
      else vi->start_flood(1, waited ? static_cast<std::uint64_t>(std::ceil(st.duration / kSamplePeriod - 1e-6))
                                     : UINT64_MAX);
    }
    if (!st.instruction.empty()) std::printf("%s\n", Safe(st.instruction).c_str());
    // Play for the step's duration: instrument time on the virtual instrument,
    // real time on hardware.
    auto played = [&]() {
      if (vi) return (vi->stats().samples_played - before.samples_played) * kSamplePeriod;
      std::lock_guard<std::mutex> lock(g_capture.lock);
      return (g_capture.frames - frames_before) * kGraphPeriod;
    };
    bool lost = false;
    double last = 0;
    auto last_change = Clock::now();
    auto wait_until = [&](double seconds) {
      while (!g_interrupted) {
        const double p = played();
        if (vi ? p >= seconds : Since(change) >= seconds) break;
        if (p != last) last = p, last_change = Clock::now();
        if (Since(last_change) > 3.0) {
          lost = true;  // nothing played for 3 s: the host stopped sending or the instrument went away
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(vi ? 5 : 50));
      }
    };
    if (waited) wait_until(st.duration);
    if (vi && !(st.timed && !answers.from_file())) vi->stop_playback();

    if (!st.prompt.empty() && !g_interrupted && !lost) {
      for (;;) {
        if (!answers.from_file())
          std::printf(st.timed ? "%s: press Enter at that moment (or type 'skip') " : "%s: ", Safe(st.prompt).c_str());
        std::fflush(stdout);
        std::string a;
        if (!answers.Next(&a, std::cin) || g_interrupted) {
          why = answers.from_file() ? "the answers file ran out" : "no answer";
          incomplete = true;
          break;
        }
        if (vi && st.timed && !answers.from_file()) vi->stop_playback();
        x.answered = true;
        x.source = answers.from_file() ? kSourceAnswers : kSourceTyped;
        if (a == "skip") {
          x.answer = a;
          x.verdict = Verdict::Skipped;
          break;
        }
        double v = 0;
        if (st.timed && !answers.from_file()) {
          v = Since(change);
          char buf[32];
          std::snprintf(buf, sizeof buf, "%.1f", v);
          a = buf;
        } else if (!ParseNumber(a, &v)) {
          if (answers.from_file()) {
            std::fprintf(stderr, "orna: %s: answer '%s' for step %zu is not a number\n", Safe(o.answers).c_str(),
                         Safe(a).c_str(), i + 1);
            why = "an answer was not a number";
            incomplete = true;
            break;
          }
          std::printf("a number, please (or 'skip')\n");
          continue;
        }
        x.answer = a;
        x.value = v;
        x.verdict = Judge(st.expect, v);
        break;
      }
    } else if (st.monitor.judged()) {
      if (!g_interrupted && !lost) monitor.Judge(st, &x);
    } else if (st.prompt.empty()) {
      x.verdict = Verdict::Done;  // an instruction: nothing to judge
      // At the bench the operator says when it has been done; an answers file has no line for it.
      if (!answers.from_file() && !st.instruction.empty() && !g_interrupted && !lost) {
        std::printf("Press Enter to go on ");
        std::fflush(stdout);
        std::string line;
        if (!answers.Next(&line, std::cin) || g_interrupted) {
          why = "no answer";
          incomplete = true;
        } else {
          x.source = kSourceTyped;
          x.confirmed = IsoNow();
        }
      }
    }
    if (g_interrupted) {
      why = "interrupted";
      incomplete = true;
    }
    if (lost && !incomplete) {
      why = "the stream stopped";
      incomplete = true;
    }
    if (incomplete) {
      if (vi) vi->stop_playback();
      break;
    }

    std::vector<Point> points;
    std::vector<double> pulses;
    if (vi) {
      const emu::Stats after = vi->stats();
      x.link.underruns = after.underruns - before.underruns;
      x.link.sequence_errors = after.sequence_gaps - before.sequence_gaps;
      x.link.header_errors = after.header_errors - before.header_errors;
      x.link.packets = after.packets_received - before.packets_received;
      const std::vector<emu::Sample> samples = vi->samples();
      const double t0 = samples.empty() ? 0 : samples.front().t;
      points.reserve(samples.size());
      for (const auto& s : samples) points.push_back({s.t - t0, s.mV, s.range_flag});
      x.has_measured = true;
      // A paced rhythm's pulses are the rhythm's own; an irregular one's rate is its mean.
      const double pacing = rhythm ? loop.library.pacing_amplitude : st.state.pacing_amplitude;
      const signals::RhythmInfo* info = rhythm ? signals::FindRhythm(st.state.rhythm) : nullptr;
      // A step too short to lose its first packets is measured whole.
      const std::vector<Point> own(points.begin() + (points.size() > 2 * stale ? stale : 0), points.end());
      x.measured = Measure(own, period, std::isnan(pacing) ? 0 : pacing, rhythm, info && info->irregular);
      // Sine, triangle, square and the exponentials have no beats to count.
      if (st.function <= OutputFuncSquare || st.function == OutputFuncExponential ||
          st.function == OutputFuncBiExponential)
        x.measured.bpm = NAN;
      pulses = x.measured.pacing_at;
    } else {
      std::lock_guard<std::mutex> lock(g_capture.lock);
      points = g_capture.points;
      pulses = g_capture.pulses;
      x.link.packets = (g_capture.frames - frames_before) * 30 / 1600;
    }
    x.link.played_s = points.empty() ? 0 : points.back().t + period;
    x.link.lost = lost;
    if (waited && x.link.played_s < st.duration - kPlayTolerance) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "played %.2f s of its %g s: the instrument did not ask for the rest",
                    x.link.played_s, st.duration);
      x.verdict = Verdict::Fail;
      x.reason = buf;
      std::fprintf(stderr, "orna: step %zu %s\n", i + 1, buf);
    }
    x.strip = MakeStrip(points, period, kStripSeconds, pulses);
    x.strip_png = StripPng(x.strip);
    if (!json_path.empty() && x.strip.empty()) ::unlink(StripFile(json_path, i).c_str());  // not an older run's
    if (!json_path.empty() && !x.strip.empty() && !SaveStrip(StripFile(json_path, i), x.strip))
      std::fprintf(stderr, "orna: warning: cannot keep the strip of step %zu beside %s (%s): a resumed run will "
                   "show it without\n", i + 1, Safe(json_path).c_str(), std::strerror(errno));
    if (!o.record.empty()) {
      const double offset = record.empty() ? 0 : record.back().t + period;
      if (rhythm)
        for (const Label& l : PlayedLabels(loop.rendered, points)) labels.push_back({l.point + record.size(), l.text});
      for (auto p : points) {
        p.t += offset;
        record.push_back(p);
      }
    }
    x.done = true;
    x.ended = IsoNow();
    if (x.has_measured) {
      // No beats found (a sine, a flat line): say so rather than "nan bpm".
      char rate[32] = "no beat rate";
      if (std::isfinite(x.measured.bpm)) std::snprintf(rate, sizeof rate, "%.1f bpm", x.measured.bpm);
      std::fprintf(stderr, "      played %.1f s: %s, %.2f mV peak to peak, %zu pacing pulses\n",
                   x.link.played_s, rate, x.measured.peak_to_peak_mV, x.measured.pacing_pulses);
    }
    if (!st.prompt.empty() || st.monitor.judged())
      std::printf("%-40s %-10s %s\n", Safe(st.name).c_str(), VerdictName(x.verdict), Safe(x.answer).c_str());
    std::fflush(stdout);
    if (!save(false)) return kExitIo;
  }
  SetOutputFunc(OutputFuncNone);
  RegisterTimeAmpCB(nullptr);
  RegisterPacingTimeAmpCB(nullptr);
  if (vi) vi->stop_playback();
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);

  report.completed = !incomplete;
  report.ended = IsoNow();
  if (!save(true)) return kExitIo;
  if (!record_path.empty() &&
      !WriteRecording(record_path, record, period, seq.title, "ORNA " + report.instrument.serial,
                      "liborna " + report.library_version, labels)) {
    std::fprintf(stderr, "orna: cannot write %s\n", Safe(record_path).c_str());
    return kExitIo;
  }
  int pass = 0, fail = 0, disclosed = 0, skipped = 0;
  for (const auto& x : report.results) {
    if (!x.done || x.verdict == Verdict::Done) continue;
    pass += x.verdict == Verdict::Pass;
    fail += x.verdict == Verdict::Fail;
    disclosed += x.verdict == Verdict::Disclosed;
    skipped += x.verdict == Verdict::Skipped;
  }
  if (vi) std::printf("%s\n", kVirtualMark);
  std::printf("%s: %d pass, %d fail, %d disclosed, %d skipped\n", Safe(seq.title).c_str(), pass, fail, disclosed,
              skipped);
  if (incomplete) {
    std::fprintf(stderr, "orna: the run stopped (%s)%s\n", why.c_str(),
                 json_path.empty() ? "" : ("; continue it with --resume " + Safe(json_path)).c_str());
    return kExitIncomplete;
  }
  if (answers.from_file() && answers.left() > 0)
    std::fprintf(stderr, "orna: warning: %zu answer%s left over in %s\n", answers.left(),
                 answers.left() == 1 ? "" : "s", Safe(o.answers).c_str());
  return fail > 0 ? kExitFailed : kExitOk;
}

}  // namespace orna::cli::run
