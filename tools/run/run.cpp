#include "run/run.h"

#include <signal.h>
#include <stdlib.h>
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

#include "orna.h"
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
};
Capture g_capture;
void OnGraph(double, double v) {
  std::lock_guard<std::mutex> lock(g_capture.lock);
  g_capture.points.push_back({g_capture.frames * kGraphPeriod, v, false});
  ++g_capture.frames;
}

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string ReadFile(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  *ok = static_cast<bool>(in) || in.eof();
  return ss.str();
}

std::string Now() {
  char buf[40];
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &tm);
  return buf;
}

std::string Text(const char* s) { return s ? s : ""; }

// A strip of the last seconds played, as PNG bytes.
std::string Strip(const std::vector<Point>& points, double period, const std::string& title) {
  if (points.size() < 2) return "";
  const double end = points.back().t;
  std::vector<Point> tail;
  for (const auto& p : points)
    if (p.t >= end - kStripSeconds) tail.push_back(p);
  const double t0 = tail.front().t;
  for (auto& p : tail) p.t -= t0;
  char path[] = "/tmp/orna-run-XXXXXX.png";
  const int fd = mkstemps(path, 4);
  if (fd < 0) return "";
  close(fd);
  std::string png;
  bool ok = WritePlot(path, tail, title, period);
  if (ok) png = ReadFile(path, &ok);
  unlink(path);
  return ok ? png : "";
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
  }
  // Outputs are checked before anything is played; a link is followed to the file it names.
  std::string report_path = o.report, record_path = o.record;
  for (std::string* path : {&report_path, &json_path, &record_path}) {
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
  report.file = o.file;
  report.checksum = seq.checksum;
  if (report.date.empty()) report.date = Now();
  if (!o.operator_name.empty()) report.operator_name = o.operator_name;
  report.library_version = Text(GetSDKVersion());

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

  struct sigaction sa {};
  sa.sa_handler = OnSignal;  // no SA_RESTART: a prompt waiting for a line gives up
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  const auto started = Clock::now();
  const double earlier_wall = report.wall_seconds;
  // A report that cannot be written (a full disk) keeps the last one written, which --resume takes.
  auto save = [&]() {
    report.wall_seconds = earlier_wall + Since(started);
    bool ok = true;
    for (const std::string* path : {&json_path, &report_path}) {
      if (path->empty() ||
          ReplaceFile(*path, path == &json_path ? ReportJson(seq, report) : ReportHtml(seq, report)))
        continue;
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
    monitor.StepStarted();
    if (vi) {
      if (o.speed > 0) vi->start_playback(o.speed);
      else vi->start_flood();
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
    const bool waited = !st.timed || answers.from_file();
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
      x.verdict = Verdict::Disclosed;  // an instruction: nothing to judge
      // At the bench the operator says when it has been done; an answers file has no line for it.
      if (!answers.from_file() && !st.instruction.empty() && !g_interrupted && !lost) {
        std::printf("Press Enter to go on ");
        std::fflush(stdout);
        std::string line;
        if (!answers.Next(&line, std::cin) || g_interrupted) {
          why = "no answer";
          incomplete = true;
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
      x.measured = Measure(points, period, std::isnan(st.state.pacing_amplitude) ? 0 : st.state.pacing_amplitude,
                           rhythm);
      // Sine, triangle, square and the exponentials have no beats to count.
      if (st.function <= OutputFuncSquare || st.function == OutputFuncExponential ||
          st.function == OutputFuncBiExponential)
        x.measured.bpm = NAN;
    } else {
      std::lock_guard<std::mutex> lock(g_capture.lock);
      points = g_capture.points;
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
    x.strip_png = Strip(points, period, st.name);
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
    if (!save()) return kExitIo;
  }
  SetOutputFunc(OutputFuncNone);
  RegisterTimeAmpCB(nullptr);
  if (vi) vi->stop_playback();
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);

  report.completed = !incomplete;
  if (!save()) return kExitIo;
  if (!record_path.empty() &&
      !WriteRecording(record_path, record, period, seq.title, "ORNA " + report.instrument.serial,
                      "liborna " + report.library_version, labels)) {
    std::fprintf(stderr, "orna: cannot write %s\n", Safe(record_path).c_str());
    return kExitIo;
  }
  int pass = 0, fail = 0, disclosed = 0, skipped = 0;
  for (const auto& x : report.results) {
    if (!x.done || (!x.answered && x.verdict == Verdict::Disclosed)) continue;
    pass += x.verdict == Verdict::Pass;
    fail += x.verdict == Verdict::Fail;
    disclosed += x.verdict == Verdict::Disclosed;
    skipped += x.verdict == Verdict::Skipped;
  }
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
