#include "run/measure.h"

#include <algorithm>
#include <cmath>

namespace orna::cli::run {

Measured Measure(const std::vector<Point>& p, double period, double pacing_mV) {
  Measured m;
  if (p.size() < 3) return m;
  auto [lo, hi] = std::minmax_element(p.begin(), p.end(), [](const Point& a, const Point& b) { return a.mV < b.mV; });
  m.peak_to_peak_mV = hi->mV - lo->mV;

  // Pacing pulses: an edge in the pulse's direction of at least 1 mV
  // within two samples (the pulse rises in 10 to 100 us); the
  // trailing edge and any overshoot go the other way. Each pulse is blanked
  // (held at the value before it) so that the beat detector does not see it.
  std::vector<double> x(p.size());
  for (std::size_t i = 0; i < p.size(); ++i) x[i] = p[i].mV;
  if (pacing_mV != 0) {
    const double sign = pacing_mV > 0 ? 1 : -1;
    const double threshold = 1.0;  // the smallest pulse is 2 mV; pulses of a step before may still be queued
    const std::size_t blank = static_cast<std::size_t>(std::ceil(0.012 / period));  // width (<= 3 ms) + settling
    for (std::size_t i = 0; i < x.size(); ++i) {
      // A pulse in the first samples has nothing before it: compare with what follows it.
      const double before = i >= 2 ? p[i - 2].mV : p[std::min(x.size() - 1, i + blank)].mV;
      if ((p[i].mV - before) * sign < threshold) continue;
      ++m.pacing_pulses;
      const std::size_t end = std::min(x.size(), i + blank);
      for (std::size_t j = i > 0 ? i - 1 : 0; j < end; ++j) x[j] = before;
      i = end;
    }
  }

  // R peaks: the curvature over +-10 ms (also one crest per period of any
  // other periodic wave). A QRS has sharp corners; a T wave,
  // even one taller than the R wave, is a smooth hump of 180 ms and bends far
  // less. Peaks above 40 % of the largest, at least 150 ms apart (300 bpm
  // leaves 200 ms), are beats.
  const std::size_t k = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(0.010 / period)));
  if (x.size() <= 2 * k + 1) return m;
  // Crests bend down; a QRS pointing down (or a record drawn inverted) is
  // taken by its troughs when those bend clearly more.
  std::vector<double> c(x.size(), 0.0);
  double up = 0, down = 0;
  for (std::size_t i = k; i + k < x.size(); ++i) {
    c[i] = -(x[i + k] - 2 * x[i] + x[i - k]);
    up = std::max(up, c[i]);
    down = std::max(down, -c[i]);
  }
  const double sign = down > 1.5 * up ? -1 : 1;
  double cmax = 0;
  for (double& v : c) cmax = std::max(cmax, v = std::max(0.0, v * sign));
  if (cmax < 0.02) return m;  // flat: no beats
  const double threshold = 0.4 * cmax;
  const std::size_t refractory = static_cast<std::size_t>(0.150 / period);
  std::vector<std::size_t> peaks;
  for (std::size_t i = k; i + k < x.size();) {
    if (c[i] < threshold) {
      ++i;
      continue;
    }
    // The largest curvature within the refractory window is the beat.
    std::size_t best = i;
    const std::size_t end = std::min(x.size() - k, i + refractory);
    for (std::size_t j = i; j < end; ++j)
      if (c[j] > c[best]) best = j;
    peaks.push_back(best);
    i = best + refractory;
  }
  m.beats = peaks.size();
  if (peaks.size() >= 2) {
    std::vector<double> rr;
    for (std::size_t i = 1; i < peaks.size(); ++i) rr.push_back((peaks[i] - peaks[i - 1]) * period);
    std::nth_element(rr.begin(), rr.begin() + rr.size() / 2, rr.end());
    m.bpm = 60.0 / rr[rr.size() / 2];
  }
  return m;
}

}  // namespace orna::cli::run
