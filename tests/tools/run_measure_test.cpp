// Measurements of `orna run` on hand-made traces: the cases the virtual
// instrument meets only by chance (a pulse in the first sample, a step
// shorter than a beat, the step before's beats in the first samples).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "run/measure.h"

namespace orna::cli::run {
namespace {

constexpr double kPeriod = 1.0 / 5000;

// Triangular "QRS" beats of 1 mV, 60 ms wide, every `rr` seconds, for `seconds`.
std::vector<Point> Beats(double rr, double seconds, double amplitude = 1.0) {
  std::vector<Point> p;
  for (int i = 0; i * kPeriod < seconds; ++i) {
    const double t = i * kPeriod, h = std::fmod(t, rr);
    const double v = h < 0.03 ? h / 0.03 : h < 0.06 ? (0.06 - h) / 0.03 : 0;
    p.push_back({t, v * amplitude, false});
  }
  return p;
}

TEST(RunMeasure, ShortTracesAndPulsesAtTheEdges) {
  EXPECT_EQ(Measure({}, kPeriod, 0).bpm, 0);
  Measured m = Measure(Beats(1.0, 0.015), kPeriod, 0);  // shorter than the curvature span
  EXPECT_EQ(m.beats, 0u);
  EXPECT_NEAR(m.peak_to_peak_mV, 0.5, 0.01);

  auto p = Beats(0.5, 6);
  for (int i : {0, 5000, 10000}) p[i].mV = 700, p[i].high_range = true;  // one in the very first sample
  m = Measure(p, kPeriod, 700);
  EXPECT_EQ(m.pacing_pulses, 3u);
  EXPECT_NEAR(m.bpm, 120, 0.1);
  // Pacing switched off: a fast edge is no pulse.
  EXPECT_EQ(Measure(p, kPeriod, 0).pacing_pulses, 0u);
}

TEST(RunMeasure, RateOfTheStepNotOfTheOneBefore) {
  // Half a second of tall fast beats left over from the step before, then 75 bpm.
  auto p = Beats(0.25, 0.5, 5.0);
  for (auto q : Beats(0.8, 10)) p.push_back({q.t + 0.5, q.mV, false});
  EXPECT_NEAR(Measure(p, kPeriod, 0).bpm, 75, 0.1);
}

TEST(RunMeasure, IrregularRhythmsAreMeasuredAtTheirMeanRate) {
  // Short, short, long: the median interval says 100 bpm, the beats 75.
  std::vector<Point> p;
  double at = 0;
  for (int k = 0; k < 12; ++k) {
    for (const Point& q : Beats(k % 3 == 2 ? 1.2 : 0.6, k % 3 == 2 ? 1.2 : 0.6)) p.push_back({q.t + at, q.mV, false});
    at += k % 3 == 2 ? 1.2 : 0.6;
  }
  EXPECT_NEAR(Measure(p, kPeriod, 0).bpm, 100, 0.1);
  const Measured m = Measure(p, kPeriod, 0, false, true);
  EXPECT_EQ(m.beats, 12u);
  EXPECT_NEAR(m.bpm, 60.0 * 11 / (8 * 0.6 + 3 * 1.2), 0.1);  // 11 intervals from the first beat to the last
}

}  // namespace
}  // namespace orna::cli::run
