// The paced rhythms: beats drawn where the library's pacing pulses fall in
// output 13's loop, so that each captured complex follows its pulse at the
// capture delay, loop after loop.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "signals/plan.h"

namespace orna::signals {
namespace {

constexpr double kFs = 5000;          // the loop's samples per second
constexpr double kPr = 0.16;          // PR of an intrinsic sinus beat
constexpr double kRefractory = 0.30;  // after a QRS onset the ventricles take no pulse
constexpr double kFusion = 0.04;      // paced and intrinsic onsets this close fuse

double Delay(const Settings& s) { return s["capture-delay"] / 1000; }
int Rate(const Settings& s) { return static_cast<int>(std::lround(s.bpm)); }
double Period(const Settings& s) { return 60.0 / Rate(s); }

// Pacing periods in a loop: a multiple of `pattern` and of the shortest whole
// number of periods that is a whole number of samples (rate / gcd(rate,
// 300000): the period is 300000 / rate samples), lasting at least min_s.
long LoopPeriods(const Settings& s, long pattern, double min_s) {
  const long unit = std::lcm(static_cast<long>(Rate(s) / std::gcd(Rate(s), 300000)), pattern);
  const double unit_s = static_cast<double>(unit) * Period(s);
  return unit * std::max(1L, std::lround(std::ceil(min_s / unit_s - 1e-9)));
}

// The sample the library starts a pulse on: the first at or after its instant
// (or a hair before it: its check forgives a millionth of a period).
double OnSample(double t) { return std::ceil(t * kFs - 1e-3) / kFs; }

// Sets the loop to `periods` pacing periods and lists the pulses: one
// kPulseLead_s before every multiple of the period and, in the two-pulse
// modes, an atrial one `av_s` before that. Returns the ventricular (or only)
// pulses in order; *atrial gets the others.
std::vector<double> LayOut(const Settings& s, long periods, int mode, double av_s, Plan* plan,
                           std::vector<double>* atrial = nullptr) {
  const double pp = Period(s);
  plan->loop_s = static_cast<double>(periods) * pp;
  plan->pacing.rate_per_min = Rate(s);
  plan->pacing.mode = mode;
  plan->rhythm = "(P";
  std::vector<double> pulses;
  for (long m = 1; m <= periods; ++m) {
    pulses.push_back(OnSample(static_cast<double>(m) * pp - kPulseLead_s));
    plan->pacing.pulses_s.push_back(pulses.back());
    if (mode != 0) {
      plan->pacing.pulses_s.push_back(OnSample(static_cast<double>(m) * pp - kPulseLead_s - av_s));
      if (atrial) atrial->push_back(plan->pacing.pulses_s.back());
    }
  }
  std::sort(plan->pacing.pulses_s.begin(), plan->pacing.pulses_s.end());
  return pulses;
}

// A paced ventricular complex whose QRS begins at `onset`.
Event PacedAt(const Settings& s, double onset, double rr) {
  return {onset + kPacedQrsOnset_s, VentricularBeat(s.amplitude_mV, rr), "/", 0};
}

// An intrinsic (conducted) beat whose QRS begins at `onset`.
Event NormalAt(const Settings& s, double onset, double rr, double pr) {
  return {onset + kNormalQrsBeforeR_s, NormalBeat(s.amplitude_mV, rr, pr), "N"};
}

}  // namespace

void PacedVentricular(const Settings& s, Plan* plan) {
  for (double p : LayOut(s, LoopPeriods(s, 1, 10), 0, 0, plan))
    plan->events.push_back(PacedAt(s, p + Delay(s), Period(s)));
}

void PacedAtrial(const Settings& s, Plan* plan) {
  // The pulse captures the atrium: P wave at the delay, conducted with the PR.
  const double pr = s["pr"] / 1000;
  for (double p : LayOut(s, LoopPeriods(s, 1, 10), 0, 0, plan))
    plan->events.push_back(NormalAt(s, p + Delay(s) + pr, Period(s), pr));
}

void PacedAv(const Settings& s, Plan* plan) {
  // Mode 1 puts the atrial pulse 150 ms before the ventricular one, mode 2 250 ms.
  const double av = s["av-delay"] / 1000;
  std::vector<double> atrial;
  for (double p : LayOut(s, LoopPeriods(s, 1, 10), av < 0.2 ? 1 : 2, av, plan, &atrial))
    plan->events.push_back(PacedAt(s, p + Delay(s), Period(s)));
  for (double p : atrial) plan->events.push_back({p + Delay(s), PWaveFromOnset(s.amplitude_mV), nullptr});
}

void PacedNoncapture(const Settings& s, Plan* plan) {
  // The last pulse of the loop is one that fails, so that the loop's start,
  // 20 ms after it, is quiet.
  const long every = std::lround(s["every"]);
  const std::vector<double> pulses = LayOut(s, LoopPeriods(s, every, 10), 0, 0, plan);
  for (std::size_t k = 0; k < pulses.size(); ++k) {
    if ((static_cast<long>(k) + 1) % every == 0) continue;
    const double rr = k % every == 0 ? 2 * Period(s) : Period(s);
    plan->events.push_back(PacedAt(s, pulses[k] + Delay(s), rr));
  }
}

// Intrinsic sinus beats at their own rate and pulses at the pacing rate,
// blind to each other. A pulse captures when it comes at least kRefractory
// after the last QRS onset; a conducted beat whose QRS would begin within
// kRefractory of the last one shows its P wave only; a paced and an
// intrinsic onset within kFusion of each other make one fusion beat.
void PacedNonsensing(const Settings& s, Plan* plan) {
  const long periods = LoopPeriods(s, 1, 30);
  const std::vector<double> pulses = LayOut(s, periods, 0, 0, plan);
  const double loop = plan->loop_s;
  // Counts of sinus beats and pulses with no common factor, so that every
  // relation between the two occurs; the sinus rate moves a little for it.
  const long wanted = std::max(1L, std::lround(loop * s["intrinsic"] / 60));
  long beats = wanted;
  for (long d = 0; std::gcd(beats, periods) != 1; ++d)
    beats = std::gcd(wanted + d, periods) == 1 ? wanted + d : std::max(1L, wanted - d);
  const double rr = loop / static_cast<double>(beats);

  struct Candidate {
    double onset, check;  // QRS onset; when excitability decides (the pulse itself)
    bool paced;
  };
  std::vector<Candidate> c;
  for (long k = 0; k < beats; ++k) {
    const double onset = static_cast<double>(k) * rr + kPr;  // P onset at k rr
    c.push_back({onset, onset, false});
  }
  for (double p : pulses) {
    const double onset = std::fmod(p + Delay(s), loop);
    c.push_back({onset, onset - Delay(s), true});
  }
  std::sort(c.begin(), c.end(), [](const Candidate& a, const Candidate& b) { return a.onset < b.onset; });

  // Two laps around the loop: the second starts with the refractory state the
  // end of the loop leaves, and its outcome is drawn.
  const std::size_t n = c.size();
  std::vector<int> fate(n, 0);  // 0 none, 1 alone, 2 fused with the next
  double last = -INFINITY;
  for (int lap = 0; lap < 2; ++lap) {
    for (std::size_t i = 0; i < n; ++i) {
      const double shift = lap * loop;
      auto ready = [&](const Candidate& x, double at) { return x.check + at >= last + kRefractory; };
      fate[i] = 0;
      if (!ready(c[i], shift)) continue;
      // (Not across the loop's end: the partner there was decided first.)
      const std::size_t j = i + 1;
      if (j < n && c[j].paced != c[i].paced && c[j].onset - c[i].onset <= kFusion && ready(c[j], shift)) {
        fate[i] = 2;
        fate[j] = -1;
        last = c[i].onset + shift;
        ++i;
        continue;
      }
      fate[i] = 1;
      last = c[i].onset + shift;
    }
  }

  const double a = s.amplitude_mV;
  for (std::size_t i = 0; i < n; ++i) {
    const Candidate& x = c[i];
    if (fate[i] == 1) {
      plan->events.push_back(x.paced ? PacedAt(s, x.onset, Period(s)) : NormalAt(s, x.onset, rr, kPr));
    } else if (fate[i] == 2) {
      // Both complexes, smaller, drawn around the intrinsic beat's R.
      const Candidate& y = c[i + 1];
      const Candidate& sinus = x.paced ? y : x;
      const Candidate& paced = x.paced ? x : y;
      const double gap = paced.onset - sinus.onset;
      Beat beat = NormalBeat(0.8 * a, rr, kPr);
      for (Wave w : VentricularBeat(0.5 * a, rr)) {
        w.at_s += gap + kPacedQrsOnset_s - kNormalQrsBeforeR_s;
        beat.push_back(w);
      }
      double fiducial = 0, peak = 0;  // the largest deflection of the fused complex
      for (double t = -0.06; t <= 0.12; t += 1 / kFs)
        if (std::fabs(ValueAt(beat, t)) > peak) peak = std::fabs(ValueAt(beat, t)), fiducial = t;
      plan->events.push_back({sinus.onset + kNormalQrsBeforeR_s, beat, "f", fiducial});
    } else if (!x.paced && fate[i] == 0) {
      plan->events.push_back({x.onset - kPr, PWaveFromOnset(a), nullptr});  // not conducted
    }
  }
}

}  // namespace orna::signals
