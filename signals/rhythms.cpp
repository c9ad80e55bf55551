// The rhythms: each lays out its beats (and background waves) over one loop.
#include <algorithm>
#include <cmath>
#include <complex>
#include <numeric>

#include "signals/plan.h"

namespace orna::signals {
namespace {

constexpr double kPr = 0.16;           // normal PR interval
constexpr double kRegularLoop = 10;    // at least this long for repeating patterns
constexpr double kVaryingLoop = 60;    // and of distinct beats for varying ones

const char* SinusLabel(double bpm) { return bpm < 60 ? "(SBR" : "(N"; }

// Repeats one cycle of a regular pattern to fill at least kRegularLoop.
void Repeat(const std::vector<Event>& cycle, double cycle_s, Plan* plan) {
  const int times = std::max(1, static_cast<int>(std::ceil(kRegularLoop / cycle_s - 1e-9)));
  for (int i = 0; i < times; ++i)
    for (Event e : cycle) {
      e.t_s += i * cycle_s;
      plan->events.push_back(e);
    }
  plan->loop_s = times * cycle_s;
}

// Beat-to-beat intervals scaled to a mean of exactly mean_s; returns the beat
// times (the first at 0) and sets the loop to their sum.
std::vector<double> Times(std::vector<double>* rr, double mean_s, Plan* plan) {
  const double sum = std::accumulate(rr->begin(), rr->end(), 0.0);
  std::vector<double> t;
  double at = 0;
  for (double& r : *rr) {
    r *= mean_s * static_cast<double>(rr->size()) / sum;
    t.push_back(at);
    at += r;
  }
  plan->loop_s = at;
  return t;
}
// The interval that ends at beat i, around the loop.
double Before(const std::vector<double>& rr, std::size_t i) {
  return rr[(i + rr.size() - 1) % rr.size()];
}

std::size_t VaryingBeats(double mean_s) {
  return static_cast<std::size_t>(std::ceil(kVaryingLoop / mean_s));
}

// Band-limited noise around centre_hz, within lo..hi Hz, of the given RMS: fibrillation.
void AddBand(Plan* plan, Random* random, double centre_hz, double lo, double hi, double rms_mV) {
  // Tones that land on the same whole number of cycles add up as one.
  std::map<long, std::complex<double>> bins;
  for (int i = 0; i < 40; ++i) {
    double hz;
    do hz = centre_hz + 0.6 * random->Normal();
    while (hz < lo || hz > hi);
    const double a = random->Uniform(0.3, 1.0);
    bins[std::lround(hz * plan->loop_s)] += std::polar(a, random->Uniform(0, 2 * M_PI));
  }
  double power = 0;
  for (const auto& [cycles, c] : bins) power += std::norm(c) / 2;
  for (const auto& [cycles, c] : bins)
    plan->tones.push_back({cycles, std::abs(c) * rms_mV / std::sqrt(power), std::arg(c)});
}

void Sinus(const Settings& s, Plan* plan, double pr, double st, const char* rhythm) {
  const double rr = 60 / s.bpm;
  Repeat({{0, NormalBeat(s.amplitude_mV, rr, pr, st), "N"}}, rr, plan);
  plan->rhythm = rhythm;
}

void SinusRhythm(const Settings& s, Plan* p) { Sinus(s, p, kPr, 0, SinusLabel(s.bpm)); }
void StShift(const Settings& s, Plan* p) { Sinus(s, p, kPr, s["st"], SinusLabel(s.bpm)); }
void AvBlock1(const Settings& s, Plan* p) { Sinus(s, p, s["pr"] / 1000, 0, "(BI"); }

void SinusArrhythmia(const Settings& s, Plan* plan) {
  const double mean = 60 / s.bpm;
  const std::size_t n = VaryingBeats(mean);
  // Whole breaths per loop, counted in beats, so the modulation joins too.
  const double breaths = std::max(1.0, std::round(static_cast<double>(n) * mean / s["breath"]));
  std::vector<double> rr;
  for (std::size_t k = 0; k < n; ++k)
    rr.push_back(mean * (1 + s["depth"] * std::sin(2 * M_PI * breaths * k / n)) *
                 (1 + 0.01 * s.random->Normal()));
  const std::vector<double> t = Times(&rr, mean, plan);
  for (std::size_t k = 0; k < n; ++k)
    plan->events.push_back({t[k], NormalBeat(s.amplitude_mV, Before(rr, k), kPr), "N"});
  plan->rhythm = SinusLabel(s.bpm);
}

void Afib(const Settings& s, Plan* plan) {
  const double mean = 60 / s.bpm;
  std::vector<double> rr;
  for (std::size_t k = 0; k < VaryingBeats(mean); ++k) rr.push_back(mean * s.random->Uniform(0.6, 1.4));
  const std::vector<double> t = Times(&rr, mean, plan);
  for (std::size_t k = 0; k < t.size(); ++k)
    plan->events.push_back({t[k], NormalBeat(s.amplitude_mV, Before(rr, k), 0), "N"});
  AddBand(plan, s.random, s.random->Uniform(5.5, 7), 5, 9, s["fwaves"] / 2);
  plan->rhythm = "(AFIB";
}

void Aflutter(const Settings& s, Plan* plan) {
  const double wave = 60 / s["atrial"];
  const long conduction = std::lround(s["conduction"]);
  const double rr = conduction * wave;
  Repeat({{0.25, NormalBeat(s.amplitude_mV, rr, 0), "N"}}, rr, plan);
  // Sawtooth: a slow fall and a quick rise, 0.25 mV from trough to peak, its
  // harmonics tapered so it does not ring.
  const long waves = std::lround(plan->loop_s / wave);
  for (int k = 1; k <= 8; ++k) {
    const double x = M_PI * k / 9, taper = std::sin(x) / x;
    plan->tones.push_back({k * waves, 0.25 * s.amplitude_mV * taper / (M_PI * k), 0});
  }
  plan->rhythm = "(AFL";
}

// `normals` sinus beats, then `ectopics` premature beats; the sinus rhythm
// resumes on time (a full compensatory pause) after ventricular ones and
// resets after an atrial one.
void Ectopy(const Settings& s, Plan* plan, int normals, int ectopics, bool atrial, const char* rhythm) {
  const double rr = 60 / s.bpm, a = s.amplitude_mV;
  std::vector<Event> cycle;
  for (int i = 0; i < normals; ++i) cycle.push_back({i * rr, NormalBeat(a, rr, kPr), "N"});
  double t = (normals - 1) * rr;
  for (int i = 0; i < ectopics; ++i) {
    const double coupling = (i == 0 ? 0.6 : 0.55) * rr;
    t += atrial ? 0.7 * rr : coupling;
    cycle.push_back({t, atrial ? AtrialBeat(a, 0.7 * rr) : VentricularBeat(a, coupling), atrial ? "A" : "V"});
  }
  Repeat(cycle, atrial ? t + rr : (normals + 1) * rr, plan);
  plan->rhythm = rhythm;
}

int Every(const Settings& s) { return static_cast<int>(std::lround(s["every"])); }
void Pac(const Settings& s, Plan* p) { Ectopy(s, p, Every(s) - 1, 1, true, SinusLabel(s.bpm)); }
void Pvc(const Settings& s, Plan* p) { Ectopy(s, p, Every(s) - 1, 1, false, SinusLabel(s.bpm)); }
void Bigeminy(const Settings& s, Plan* p) { Ectopy(s, p, 1, 1, false, "(B"); }
void Trigeminy(const Settings& s, Plan* p) { Ectopy(s, p, 2, 1, false, "(T"); }
void Couplet(const Settings& s, Plan* p) { Ectopy(s, p, Every(s) - 2, 2, false, SinusLabel(s.bpm)); }

void Vtach(const Settings& s, Plan* plan) {
  const double rr = 60 / s.bpm;
  Repeat({{0, VentricularBeat(s.amplitude_mV, rr), "V"}}, rr, plan);
  plan->rhythm = "(VT";
}

// Torsades-like: the axis turns through a full circle every ten beats or so and
// the amplitude waxes and wanes, with some jitter in both and in the intervals.
void VtachPolymorphic(const Settings& s, Plan* plan) {
  const double mean = 60 / s.bpm;
  const std::size_t n = VaryingBeats(mean);
  const double turns = std::max(1.0, std::round(static_cast<double>(n) / s.random->Uniform(8, 14)));
  std::vector<double> rr;
  for (std::size_t k = 0; k < n; ++k) rr.push_back(mean * (1 + 0.06 * std::clamp(s.random->Normal(), -3.0, 3.0)));
  const std::vector<double> t = Times(&rr, mean, plan);
  for (std::size_t k = 0; k < n; ++k) {
    const double twist = 2 * M_PI * turns * k / n + 0.15 * s.random->Normal();
    const double a = s.amplitude_mV * (0.8 + 0.25 * std::cos(2 * twist)) * s.random->Uniform(0.9, 1.1);
    plan->events.push_back({t[k], VentricularBeat(a, Before(rr, k), twist), "V"});
  }
  plan->rhythm = "(VT";
}

void Vfib(const Settings& s, Plan* plan, double rms) {
  plan->loop_s = kVaryingLoop;
  AddBand(plan, s.random, s["hz"], 4, 8, rms * s.amplitude_mV);
  plan->rhythm = "(VFL";
}
void VfibCoarse(const Settings& s, Plan* p) { Vfib(s, p, 0.18); }
void VfibFine(const Settings& s, Plan* p) { Vfib(s, p, 0.04); }

void Asystole(const Settings&, Plan* plan) {
  plan->loop_s = kRegularLoop;
  plan->rhythm = "(ASYS";
}

// Second-degree block: sinus P waves at bpm, the last of every `ratio` blocked;
// the PR of the conducted ones is given by pr(k).
template <class Pr>
void Block2(const Settings& s, Plan* plan, Pr pr) {
  const double pp = 60 / s.bpm, a = s.amplitude_mV;
  const int ratio = static_cast<int>(std::lround(s["ratio"]));
  std::vector<double> r;  // R times, P onset k at k * pp
  for (int k = 0; k + 1 < ratio; ++k) r.push_back(k * pp + pr(k));
  std::vector<Event> cycle;
  for (std::size_t k = 0; k < r.size(); ++k) {
    const double before = k == 0 ? r[0] + ratio * pp - r.back() : r[k] - r[k - 1];
    cycle.push_back({r[k], NormalBeat(a, before, pr(static_cast<int>(k))), "N"});
  }
  cycle.push_back({(ratio - 1) * pp + kPr, PWave(a, kPr), nullptr});
  Repeat(cycle, ratio * pp, plan);
  plan->rhythm = "(BII";
}

void BlockType1(const Settings& s, Plan* p) {
  // Increments that halve: the PR lengthens less each time, the RR shortens.
  Block2(s, p, [&](int k) { return s["pr"] / 1000 + 0.2 * (1 - std::pow(0.5, k)); });
}
void BlockType2(const Settings& s, Plan* p) {
  Block2(s, p, [&](int) { return s["pr"] / 1000; });
}

void AvBlock3(const Settings& s, Plan* plan) {
  // Counts of P waves and escape beats with no common factor, so that every
  // P-to-R relation differs; the atrial rate moves by a few percent for that.
  const double rr = 60 / s.bpm;
  const long beats = std::lround(std::ceil(30 / rr));
  plan->loop_s = beats * rr;
  long ps = std::max(1L, std::lround(plan->loop_s * s["atrial"] / 60));
  while (std::gcd(ps, beats) != 1) ++ps;
  const double pp = plan->loop_s / ps;
  const bool wide = s.bpm < 40;  // a ventricular escape; a junctional one from 40/min
  for (long k = 0; k < ps; ++k) plan->events.push_back({k * pp + 0.1, PWave(s.amplitude_mV, kPr), nullptr});
  for (long k = 0; k < beats; ++k)
    plan->events.push_back({k * rr, wide ? VentricularBeat(s.amplitude_mV, rr) : NormalBeat(s.amplitude_mV, rr, 0),
                            wide ? "E" : "j"});
  plan->rhythm = "(B3";
}

struct Entry {
  RhythmInfo info;
  Builder build;
};

RhythmInfo Info(const char* name, const char* description, std::vector<RhythmParam> params,
                double lo, double hi, double def, bool uses_bpm = true) {
  return {name, description, std::move(params), uses_bpm, lo, hi, def};
}

RhythmInfo Irregular(RhythmInfo info) {
  info.irregular = true;
  return info;
}

RhythmInfo PacedInfo(const char* name, const char* description, std::vector<RhythmParam> params,
                     double lo, double hi, double def) {
  RhythmInfo info = Info(name, description, std::move(params), lo, hi, def);
  info.paced = true;
  return info;
}

const std::vector<Entry>& Table() {
  static const RhythmParam every{"every", 2, 12, 4, "beats", "every Nth beat is premature", true};
  static const RhythmParam capture{"capture-delay", 0, 100, 20, "ms", "from each pulse's start to the onset of what it captures"};
  static const std::vector<Entry> table = {
      {Info("sinus", "normal sinus rhythm at bpm", {}, 30, 200, 60), SinusRhythm},
      {Irregular(Info("sinus-arrhythmia", "sinus rhythm whose rate rises and falls with breathing",
            {{"depth", 0.05, 0.3, 0.1, "", "RR change over a breath, fraction of the mean"},
             {"breath", 2, 10, 4, "s", "breathing period"}}, 40, 150, 60)), SinusArrhythmia},
      {Irregular(Info("afib", "atrial fibrillation: irregularly irregular RR, no P waves, f waves; bpm is the mean rate",
            {{"fwaves", 0, 0.3, 0.08, "mV", "f-wave amplitude"}}, 40, 180, 90)), Afib},
      {Info("aflutter", "atrial flutter: sawtooth F waves, every Nth conducted",
            {{"atrial", 240, 360, 300, "/min", "flutter-wave rate"},
             {"conduction", 2, 4, 4, ":1", "conduction ratio", true}}, 0, 0, 0, false), Aflutter},
      {Info("pac", "sinus rhythm with premature atrial beats (sinus node reset)", {every}, 40, 150, 60), Pac},
      {Info("pvc", "sinus rhythm with premature ventricular beats (full compensatory pause)", {every}, 40, 150, 60), Pvc},
      {Info("pvc-bigeminy", "every second beat a PVC", {}, 40, 150, 60), Bigeminy},
      {Info("pvc-trigeminy", "every third beat a PVC", {}, 40, 150, 60), Trigeminy},
      {Info("pvc-couplet", "pairs of PVCs",
            {{"every", 3, 12, 5, "beats", "beats per group, the last two are PVCs", true}}, 40, 150, 60), Couplet},
      {Info("vtach", "monomorphic ventricular tachycardia at bpm", {}, 100, 250, 160), Vtach},
      {Irregular(Info("vtach-polymorphic", "polymorphic ventricular tachycardia, twisting axis (torsades-like)", {}, 150, 300, 220)),
       VtachPolymorphic},
      {Info("vfib-coarse", "coarse ventricular fibrillation",
            {{"hz", 4, 8, 5, "Hz", "dominant frequency"}}, 0, 0, 0, false), VfibCoarse},
      {Info("vfib-fine", "fine ventricular fibrillation",
            {{"hz", 4, 8, 6, "Hz", "dominant frequency"}}, 0, 0, 0, false), VfibFine},
      {Info("asystole", "asystole: a flat line", {}, 0, 0, 0, false), Asystole},
      {Info("av-block-1", "first-degree AV block: sinus rhythm with a long PR",
            {{"pr", 210, 400, 280, "ms", "PR interval"}}, 40, 150, 60), AvBlock1},
      {Info("av-block-2-wenckebach", "second-degree AV block type I: PR lengthens until a P wave is blocked; bpm is the atrial rate",
            {{"ratio", 3, 8, 4, ":N-1", "P waves per group, the last one blocked", true},
             {"pr", 120, 240, 200, "ms", "first PR of a group"}}, 50, 120, 75), BlockType1},
      {Info("av-block-2-mobitz", "second-degree AV block type II: constant PR, every Nth P wave blocked; bpm is the atrial rate",
            {{"ratio", 3, 8, 3, ":N-1", "P waves per group, the last one blocked", true},
             {"pr", 120, 200, 160, "ms", "PR interval"}}, 50, 120, 75), BlockType2},
      {Info("av-block-3", "third-degree AV block: P waves and a slow escape rhythm (bpm) independent",
            {{"atrial", 50, 120, 75, "/min", "P-wave rate"}}, 20, 60, 40), AvBlock3},
      {Info("st-elevation", "sinus rhythm with ST elevation at J+60 ms",
            {{"st", 0.05, 0.5, 0.2, "mV", "ST shift"}}, 40, 150, 60), StShift},
      {Info("st-depression", "sinus rhythm with ST depression at J+60 ms",
            {{"st", -0.5, -0.05, -0.2, "mV", "ST shift (negative)"}}, 40, 150, 60), StShift},
      {PacedInfo("paced-atrial", "atrial pacing at bpm: a P wave after each pulse, a normal QRS after the PR",
                 {capture, {"pr", 120, 250, 160, "ms", "PR interval"}}, 40, 150, 70), PacedAtrial},
      {PacedInfo("paced-ventricular", "ventricular pacing at bpm: a wide QRS with a discordant T after each pulse",
                 {capture}, 30, 180, 70), PacedVentricular},
      {PacedInfo("paced-av", "dual-chamber pacing at bpm: an atrial pulse and P wave, then a ventricular pulse and a wide QRS",
                 {capture, {"av-delay", 150, 250, 150, "ms", "atrial to ventricular pulse", false, 100}}, 40, 150, 70),
       PacedAv},
      {PacedInfo("paced-noncapture", "ventricular pacing at bpm with loss of capture: every Nth pulse has no QRS",
                 {capture, {"every", 2, 12, 4, "pulses", "every Nth pulse is not captured", true}}, 30, 180, 70),
       PacedNoncapture},
      {Irregular(PacedInfo("paced-nonsensing", "ventricular pacing at bpm blind to a sinus rhythm of its own rate; pulses "
                 "capture outside the refractory period",
                 {capture, {"intrinsic", 30, 150, 75, "/min", "sinus rate"}}, 30, 150, 60)),
       PacedNonsensing},
  };
  return table;
}

}  // namespace

const std::vector<RhythmInfo>& Rhythms() {
  static const std::vector<RhythmInfo> infos = [] {
    std::vector<RhythmInfo> v;
    for (const Entry& e : Table()) v.push_back(e.info);
    return v;
  }();
  return infos;
}

const RhythmInfo* FindRhythm(const std::string& name) {
  for (const RhythmInfo& r : Rhythms())
    if (name == r.name) return &r;
  return nullptr;
}

Builder FindBuilder(const std::string& name) {
  for (const Entry& e : Table())
    if (name == e.info.name) return e.build;
  return nullptr;
}

}  // namespace orna::signals
