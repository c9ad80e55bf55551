// Measurements a reader makes on a rendered strip: intervals, widths, levels.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "signals/rhythm.h"

namespace orna::signals::test {

inline Rendered Make(const std::string& name, double bpm = 0, std::map<std::string, double> params = {},
                     std::uint64_t seed = 1) {
  RhythmRequest request;
  request.name = name;
  request.bpm = bpm;
  request.seed = seed;
  request.params = std::move(params);
  Rendered out;
  std::string error;
  EXPECT_TRUE(Render(request, &out, &error)) << error;
  return out;
}

inline std::vector<Annotation> Beats(const Rendered& r) {
  std::vector<Annotation> beats;
  for (const Annotation& a : r.annotations)
    if (a.label[0] != '(') beats.push_back(a);
  return beats;
}

// Interval ending at each beat, around the loop.
inline std::vector<double> Intervals(const Rendered& r) {
  const std::vector<Annotation> b = Beats(r);
  std::vector<double> rr;
  for (std::size_t i = 0; i < b.size(); ++i)
    rr.push_back(i ? b[i].t_s - b[i - 1].t_s : b[0].t_s + r.loop_s - b.back().t_s);
  return rr;
}

inline long Index(const Rendered& r, double t) {
  const long n = static_cast<long>(r.microvolts.size());
  const long i = std::lround(t * r.samples_per_second) % n;
  return i < 0 ? i + n : i;
}
inline double MilliVolts(const Rendered& r, double t) { return r.microvolts[Index(r, t)] / 1000; }

// Time of the largest value in [from, to), relative to nothing: absolute.
inline double PeakTime(const Rendered& r, double from, double to, bool absolute = false) {
  double best = -INFINITY, at = from;
  for (double t = from; t < to; t += 1 / r.samples_per_second) {
    const double v = absolute ? std::fabs(MilliVolts(r, t)) : MilliVolts(r, t);
    if (v > best) best = v, at = t;
  }
  return at;
}

// QRS width: the span around the fiducial point where |signal| exceeds a tenth
// of its value there, bridging the short dips where Q, R and S cross 0.
inline double QrsWidth(const Rendered& r, double t) {
  const double threshold = 0.1 * std::fabs(MilliVolts(r, t)), dt = 1 / r.samples_per_second;
  auto edge = [&](double step) {
    double last = t;
    for (double u = t; std::fabs(u - t) < 0.3; u += step * dt)
      if (std::fabs(MilliVolts(r, u)) > threshold) last = u;
      else if (std::fabs(u - last) > 0.012) break;
    return last;
  };
  return edge(1) - edge(-1);
}

// Strongest frequency between 0.5 and 20 Hz, by a DFT of the strip at 100/s.
inline double DominantHz(const Rendered& r) {
  std::vector<double> x;
  for (std::size_t i = 0; i < r.microvolts.size(); i += 50) x.push_back(r.microvolts[i]);
  double best = 0, at = 0;
  for (double f = 0.5; f <= 20; f += 0.05) {
    double re = 0, im = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      re += x[i] * std::cos(2 * M_PI * f * i / 100.0);
      im += x[i] * std::sin(2 * M_PI * f * i / 100.0);
    }
    if (re * re + im * im > best) best = re * re + im * im, at = f;
  }
  return at;
}

// A small slope-energy QRS detector (derivative, square, 80 ms moving sum),
// with a fixed threshold of a quarter of a 1 mV normal beat's energy and 250 ms
// of refractory time: beat times in seconds.
inline std::vector<double> DetectQrs(const Rendered& r) {
  const std::size_t n = r.microvolts.size(), step = 10;  // at 500/s
  std::vector<double> e;
  for (std::size_t i = 0; i < n; i += step) {
    const double d = (r.microvolts[(i + step) % n] - r.microvolts[(i + n - step) % n]) / 1000;
    e.push_back(d * d);
  }
  const std::size_t m = e.size(), window = 40;
  std::vector<double> sum(m, 0);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t k = 0; k < window; ++k) sum[i] += e[(i + m - window / 2 + k) % m];
  std::vector<double> beats;
  const double threshold = 0.23;
  for (std::size_t i = 0; i < m; ++i) {
    const bool peak = sum[i] > threshold && sum[i] >= sum[(i + m - 1) % m] && sum[i] > sum[(i + 1) % m];
    const double t = static_cast<double>(i * step) / r.samples_per_second;
    if (peak && (beats.empty() || t - beats.back() > 0.25)) beats.push_back(t);
  }
  return beats;
}

}  // namespace orna::signals::test
