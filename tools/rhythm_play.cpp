// Rhythms on the command line: the catalogue, the checks before a render, the
// loop handed to the library, and where its annotations were played.
#include "rhythm_play.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "orna.h"
#include "text.h"

namespace orna::cli {

namespace {

using signals::RhythmInfo;
using signals::RhythmParam;

// "240..360 per minute", "2..4 whole (N:1)", "0..0.3 mV".
std::string Span(const RhythmParam& p) {
  std::string text = Number(p.min) + ".." + Number(p.max) + (p.whole ? " whole" : "");
  if (p.step > 0)
    text = p.max - p.min == p.step ? Number(p.min) + " or " + Number(p.max)
                                   : text + " in steps of " + Number(p.step);
  const std::string unit = p.unit;
  if (unit == "/min") return text + " per minute";
  if (!unit.empty() && unit[0] == ':') return text + " (N" + unit + ")";
  return unit.empty() ? text : text + " " + unit;
}

std::string BpmLine(const RhythmInfo& r) {
  if (!r.uses_bpm) return "--bpm not taken: the rhythm keeps its own rate";
  return "--bpm " + Number(r.bpm_min) + ".." + Number(r.bpm_max) + " per minute" + (r.paced ? " whole" : "") +
         " (default " + Number(r.bpm_def) + ")" + (r.paced ? ": the pacing rate" : "");
}

// Prints `text` wrapped at 80 columns, every line indented by `indent`, the
// continuation lines by `hanging` more.
void Wrapped(std::FILE* out, const std::string& text, std::size_t indent, std::size_t hanging) {
  constexpr std::size_t kWidth = 80;
  std::size_t at = 0, margin = indent;
  while (at < text.size()) {
    std::size_t room = kWidth - margin, end = text.size();
    if (end - at > room) {
      end = text.rfind(' ', at + room);
      if (end == std::string::npos || end <= at) end = std::min(text.size(), at + room);
    }
    std::fprintf(out, "%*s%s\n", static_cast<int>(margin), "", text.substr(at, end - at).c_str());
    at = end;
    while (at < text.size() && text[at] == ' ') ++at;
    margin = indent + hanging;
  }
}

std::string ParameterNames(const RhythmInfo& r) {
  std::string names;
  for (const RhythmParam& p : r.params) names += (names.empty() ? "--" : ", --") + std::string(p.name);
  return names.empty() ? "none" : names;
}

int Refuse(const std::string& why) {
  // The reason may quote what was typed: shown escaped.
  std::fprintf(stderr, "orna: %s\n", TerminalSafe(why).c_str());
  return kExitUsage;
}

}  // namespace

int RunRhythms(std::FILE* out) {
  std::fprintf(out,
               "Rhythms for 'orna play rhythm NAME'. --amplitude is the R-wave height of a\n"
               "normal beat (0.05..5 mV, default 1); --seed picks the random variation.\n"
               "Paced rhythms play with the library's pacing pulses at --bpm; --pacing-amplitude\n"
               "(default %g mV), --pacing-width and --overshoot shape the pulses.\n",
               kPacedPulseDefault_mV);
  for (const RhythmInfo& r : signals::Rhythms()) {
    std::fprintf(out, "\n%s\n", r.name);
    Wrapped(out, r.description, 4, 2);
    Wrapped(out, BpmLine(r), 4, 4);
    for (const RhythmParam& p : r.params)
      Wrapped(out, "--" + std::string(p.name) + " " + Span(p) + " (default " + Number(p.def) + "): " + p.help, 4, 4);
  }
  return std::fflush(out) == 0 ? kExitOk : kExitIo;
}

std::vector<std::string> RhythmParameterNames() {
  std::vector<std::string> names;
  for (const RhythmInfo& r : signals::Rhythms())
    for (const RhythmParam& p : r.params)
      if (std::find(names.begin(), names.end(), p.name) == names.end()) names.push_back(p.name);
  return names;
}

std::string RhythmParameterHelp(const std::string& name) {
  std::string uses;
  for (const RhythmInfo& r : signals::Rhythms())
    for (const RhythmParam& p : r.params)
      if (name == p.name) uses += (uses.empty() ? "" : ", ") + std::string(r.name) + " " + Span(p) + " (" + Number(p.def) + ")";
  return "Rhythm parameter of " + uses;
}

signals::RhythmRequest RhythmRequestOf(const PlayOptions& o) {
  signals::RhythmRequest request;
  request.name = o.rhythm;
  request.bpm = std::isnan(o.bpm) ? 0 : o.bpm;
  if (!std::isnan(o.amplitude)) request.amplitude_mV = o.amplitude;
  if (o.seed >= 0) request.seed = static_cast<std::uint64_t>(o.seed);
  request.params = o.rhythm_params;
  return request;
}

std::string BeyondOutput(const signals::Rendered& rendered) {
  // Output 13 holds every sample within +-5 mV: a taller rhythm would be clipped.
  double peak = 0;
  for (double v : rendered.microvolts) peak = std::max(peak, std::fabs(v));
  if (peak <= 5000) return "";
  return "the rhythm would reach " + Number(std::round(peak / 10) / 100) + " mV, beyond the output's 5 mV";
}

int PrepareRhythm(const PlayOptions& o, RhythmLoop* loop) {
  if (o.rhythm.empty()) return Refuse("'orna play rhythm' needs the rhythm's name (see orna rhythms)");
  const RhythmInfo* info = signals::FindRhythm(o.rhythm);
  if (!info) return Refuse("unknown rhythm '" + o.rhythm + "' (see orna rhythms)");
  for (const auto& given : o.rhythm_params) {
    const bool known = std::any_of(info->params.begin(), info->params.end(),
                                   [&](const RhythmParam& p) { return given.first == p.name; });
    if (!known)
      return Refuse("--" + given.first + " does nothing here: " + info->name + " takes " +
                    (info->params.empty() ? "no rhythm parameters" : "only " + ParameterNames(*info)));
  }
  if (!std::isnan(o.bpm) && !info->uses_bpm)
    return Refuse(std::string("--bpm does nothing here: ") + info->name + " keeps its own rate");
  if (!o.file.empty()) return Refuse("--file does nothing here: a rhythm is its own waveform");
  if (info->paced) {
    if (o.pacing_rate >= 0) return Refuse(std::string("--pacing-rate does nothing here: --bpm is ") + info->name + "'s pacing rate");
    if (o.pacing_mode >= 0) return Refuse(std::string("--pacing-mode does nothing here: ") + info->name + " sets it");
    if (o.pacing_amplitude == 0) return Refuse(std::string("--pacing-amplitude 0: ") + info->name + " needs its pacing pulses");
  }

  const signals::RhythmRequest request = RhythmRequestOf(o);
  std::string error;
  if (!signals::Render(request, &loop->rendered, &error)) return Refuse(error);
  const std::string beyond = BeyondOutput(loop->rendered);
  if (!beyond.empty()) return Refuse("--amplitude " + Number(request.amplitude_mV) + " mV: " + beyond);

  // The renderer takes the amplitude and the rate; output 13 plays the loop
  // at its own rate and in its own microvolts whatever these are.
  loop->library = o;
  loop->library.amplitude = NAN;
  loop->library.bpm = NAN;
  // A paced loop is drawn for the library's pulses at this rate and mode,
  // which start with output 13: pulses and beats stay locked.
  const signals::Pacing& pacing = loop->rendered.pacing;
  if (pacing.rate_per_min > 0) {
    loop->library.pacing_rate = pacing.rate_per_min;
    loop->library.pacing_mode = pacing.mode;
    if (std::isnan(o.pacing_amplitude)) loop->library.pacing_amplitude = kPacedPulseDefault_mV;
  }
  return kExitOk;
}

int LoadRhythm(const signals::Rendered& r) {
  // Output 13 plays sample trunc(phase x rate), and the library's phase adds
  // up 0.2 ms steps: it lands a hair before or after k/5000, so about a third
  // of the samples would be played one sample late. At twice the rate, with
  // each sample in the two slots either side of its instant (the first one
  // also in the last slot), both sides of that hair play the same sample.
  const std::size_t n = r.microvolts.size();
  if (n == 0 || n > static_cast<std::size_t>(INT_MAX / 2)) return -4;
  std::vector<double> doubled(2 * n);
  for (std::size_t k = 0; k < n; ++k) {
    doubled[2 * k] = r.microvolts[k];
    doubled[(2 * k + 2 * n - 1) % (2 * n)] = r.microvolts[k];
  }
  return OrnaLoadECGSamples(doubled.data(), static_cast<int>(doubled.size()), 2 * r.samples_per_second);
}

int LoadRhythm(signals::Rendered* r) {
  std::vector<double>& v = r->microvolts;
  const std::size_t n = v.size();
  if (n == 0 || n > static_cast<std::size_t>(INT_MAX / 2)) return -4;
  // LoadRhythm's layout, filled from the end so that each sample is read
  // before a slot it lands in is written.
  v.resize(2 * n);
  for (std::size_t k = n; k-- > 1;) v[2 * k] = v[2 * k - 1] = v[k];
  v[2 * n - 1] = v[0];
  const int loaded = OrnaLoadECGSamples(v.data(), static_cast<int>(v.size()), 2 * r->samples_per_second);
  v = {};
  return loaded;
}

std::vector<Label> PlayedLabels(const signals::Rendered& r, const std::vector<Point>& points) {
  std::vector<Label> labels;
  if (points.empty() || r.annotations.empty() || !(r.loop_s > 0)) return labels;
  const double t0 = points.front().t, last = points.back().t;
  for (double start = 0; start <= last - t0; start += r.loop_s) {
    for (const signals::Annotation& a : r.annotations) {
      const double t = t0 + start + a.t_s;
      auto after = std::lower_bound(points.begin(), points.end(), t,
                                    [](const Point& p, double at) { return p.t < at; });
      if (after == points.end()) {
        // Past the last point: kept only when that point is the nearest sample.
        if (t - last > 0.5 / r.samples_per_second) break;
        --after;
      } else if (after != points.begin() && t - std::prev(after)->t <= after->t - t) {
        --after;
      }
      labels.push_back({static_cast<std::size_t>(after - points.begin()), a.label});
    }
  }
  std::stable_sort(labels.begin(), labels.end(), [](const Label& a, const Label& b) { return a.point < b.point; });
  return labels;
}

}  // namespace orna::cli
