// Paced rhythms on the rendered samples: where the pulses fall, where the
// captured complexes begin, which pulses capture.
#include "signals/strip.h"

using namespace orna::signals;
using namespace orna::signals::test;

namespace {

constexpr double kSample = 1.0 / 5000;

// The last pulse at or before t.
double PulseBefore(const Rendered& r, double t) {
  double p = r.pacing.pulses_s.back() - r.loop_s;
  for (double q : r.pacing.pulses_s)
    if (q <= t) p = q;
  return p;
}

// Onset of the complex whose main lobe peaks at t: going back, the first
// sample below a tenth of the peak.
double OnsetBefore(const Rendered& r, double t) {
  const double peak = MilliVolts(r, t);
  double u = static_cast<double>(Index(r, t)) * kSample;
  while (MilliVolts(r, u) >= 0.1 * peak) u -= kSample;
  return u + kSample;
}

}  // namespace

TEST(Paced, PulsesFallWhereThePacingPutsThemAndEachCapturedQrsBeginsAtTheDelay) {
  struct Case {
    const char* name;
    double bpm;
    std::map<std::string, double> params;
    int mode;
  } cases[] = {
      {"paced-ventricular", 0, {}, 0},
      {"paced-ventricular", 73, {{"capture-delay", 5}}, 0},  // a period off the sample grid
      {"paced-av", 60, {{"capture-delay", 40}, {"av-delay", 250}}, 2},
      {"paced-noncapture", 90, {{"capture-delay", 60}, {"every", 3}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.bpm));
    const Rendered r = Make(c.name, c.bpm, c.params);
    const double pp = 60 / (c.bpm == 0 ? 70 : c.bpm);
    const double delay = (c.params.count("capture-delay") ? c.params.at("capture-delay") : 20) / 1000;
    EXPECT_EQ(r.pacing.rate_per_min, std::lround(60 / pp));
    EXPECT_EQ(r.pacing.mode, c.mode);
    // A whole number of periods; the pulses 20 ms before each multiple (and
    // the atrial one av-delay before that), on the first sample from there.
    const long periods = std::lround(r.loop_s / pp);
    EXPECT_NEAR(r.loop_s, periods * pp, 1e-9);
    ASSERT_EQ(r.pacing.pulses_s.size(), static_cast<std::size_t>(periods * (c.mode ? 2 : 1)));
    for (std::size_t k = 0; k < r.pacing.pulses_s.size(); ++k) {
      const double ideal = (c.mode ? k / 2 + 1 : k + 1) * pp - 0.02 - (c.mode && k % 2 == 0 ? 0.25 : 0);
      EXPECT_GE(r.pacing.pulses_s[k], ideal - 1e-9) << k;
      EXPECT_LT(r.pacing.pulses_s[k], ideal + kSample) << k;
    }
    for (const Annotation& b : Beats(r)) {
      ASSERT_EQ(b.label, "/");
      // The first sample at a tenth of the peak: at the onset, or the next one.
      EXPECT_NEAR(OnsetBefore(r, b.t_s) - PulseBefore(r, b.t_s), delay + kSample / 2, kSample / 2 + 1e-9) << b.t_s;
      EXPECT_GE(QrsWidth(r, b.t_s), 0.12);
      EXPECT_LT(MilliVolts(r, PeakTime(r, b.t_s + 0.15, b.t_s + 0.45, true)), 0);  // discordant T
    }
  }
  // Atrial pacing: the P wave at the delay, a normal QRS after the PR.
  const Rendered a = Make("paced-atrial", 0, {{"pr", 200}});
  for (const Annotation& b : Beats(a)) {
    EXPECT_EQ(b.label, "N");
    EXPECT_NEAR(b.t_s - PulseBefore(a, b.t_s), 0.02 + 0.2 + 0.045, kSample) << b.t_s;
    EXPECT_LT(QrsWidth(a, b.t_s), 0.11);
  }
}

TEST(Paced, NoncaptureDropsEveryNthAndNonsensingPacesBlindToTheSinusRhythm) {
  const Rendered nc = Make("paced-noncapture", 0, {{"every", 3}});
  const std::vector<Annotation> paced = Beats(nc);
  ASSERT_EQ(paced.size() % 2, 0u);
  EXPECT_EQ(paced.size() * 3, nc.pacing.pulses_s.size() * 2);
  for (std::size_t k = 0; k < nc.pacing.pulses_s.size(); ++k) {
    const double p = nc.pacing.pulses_s[k];
    const bool beat = std::any_of(paced.begin(), paced.end(), [&](const Annotation& b) {
      return b.t_s > p && b.t_s - p < 0.2;
    });
    EXPECT_EQ(beat, (k + 1) % 3 != 0) << k;
  }

  const Rendered ns = Make("paced-nonsensing", 60, {{"intrinsic", 75}});
  const std::vector<double>& pulses = ns.pacing.pulses_s;
  for (std::size_t k = 1; k < pulses.size(); ++k) EXPECT_NEAR(pulses[k] - pulses[k - 1], 1.0, kSample);
  std::vector<Annotation> beats = Beats(ns);
  std::map<std::string, int> count;
  for (const Annotation& b : beats) ++count[b.label];
  EXPECT_GT(count["/"], 0);
  EXPECT_GT(count["N"], 0);
  // The sinus beats keep their own rhythm: every one a whole number of sinus
  // cycles from the first, whatever the pulses did in between.
  double rr = INFINITY, first_n = -1, previous = -1;
  for (const Annotation& b : beats)
    if (b.label == "N") rr = std::min(rr, previous < 0 ? rr : b.t_s - previous), previous = b.t_s;
  EXPECT_NEAR(rr, 60.0 / 75, 0.8 * 0.03);
  for (const Annotation& b : beats) {
    if (b.label != "N") continue;
    if (first_n < 0) first_n = b.t_s;
    const double cycles = (b.t_s - first_n) / rr;
    EXPECT_NEAR(cycles, std::round(cycles), 1e-6) << b.t_s;
  }
  // A pulse captures exactly when the last QRS began 300 ms or more before it.
  for (double p : pulses) {
    double last_onset = -INFINITY;
    const Annotation *last = nullptr, *next = nullptr;
    for (const Annotation& b : beats) {
      const double onset = b.t_s - (b.label == "/" ? kPacedQrsOnset_s : 0.045);
      if (onset < p) last_onset = onset, last = &b;
      if (!next && b.t_s > p) next = &b;
    }
    // Fusion beats (the intrinsic beat came with the pulse) have no one onset.
    if (!next || !last || next->label == "f" || last->label == "f") continue;
    const bool captured = next->label == "/" && next->t_s - p < 0.1;
    EXPECT_EQ(captured, p - last_onset >= 0.3) << p;
  }
}
