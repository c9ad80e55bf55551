#include "run/measure.h"

#include <algorithm>
#include <cmath>

namespace orna::cli::run {

Measured Measure(const std::vector<Point>& p, double period, double pacing_mV, bool wide_beats, bool irregular) {
  Measured m;
  if (p.size() < 3) return m;
  auto [lo, hi] = std::minmax_element(p.begin(), p.end(), [](const Point& a, const Point& b) { return a.mV < b.mV; });
  m.peak_to_peak_mV = hi->mV - lo->mV;

  // Pacing pulses: an edge of at least 1 mV within two samples (a pulse
  // rises in 10 to 100 us; the smallest is 2 mV). Either direction: the
  // first samples of a step can still carry pulses of the step before. Each
  // pulse, with its trailing edge, is blanked (held at the value before it)
  // so that the beat detector does not see it.
  std::vector<double> x(p.size());
  for (std::size_t i = 0; i < p.size(); ++i) x[i] = p[i].mV;
  if (pacing_mV != 0) {
    const std::size_t blank = static_cast<std::size_t>(std::ceil(0.012 / period));  // width (<= 3 ms) + settling
    for (std::size_t i = 0; i < x.size(); ++i) {
      // A pulse in the first samples has nothing before it: compare with what follows it.
      const double before = i >= 2 ? p[i - 2].mV : p[std::min(x.size() - 1, i + blank)].mV;
      if (std::fabs(p[i].mV - before) < 1.0) continue;
      ++m.pacing_pulses;
      m.pacing_at.push_back(p[i].t);
      const std::size_t end = std::min(x.size(), i + blank);
      for (std::size_t j = i > 0 ? i - 1 : 0; j < end; ++j) x[j] = before;
      i = end;
    }
  }

  // R peaks: the curvature over +-10 ms. A QRS has sharp corners; a T wave,
  // even one taller than the R wave, is a smooth hump of 180 ms and bends far
  // less. A wide ventricular complex bends little over 10 ms but much over
  // 30 ms, as does a tall T wave: where beats may be wide, both spans are
  // looked at, each against its typical beat. Peaks
  // above 40 % of the typical beat's, at least 150 ms apart (300 bpm leaves
  // 200 ms), are beats.
  const std::size_t k = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(0.010 / period)));
  const std::size_t edge = wide_beats ? 3 * k : k;
  if (x.size() <= 2 * edge + 1) return m;
  // Crests bend down (concave); so do the corners where a downward
  // deflection leaves and rejoins the baseline, while the corners where a
  // hump such as the calibration ECG's T wave leaves the baseline bend up.
  auto curvature = [&](std::size_t span, std::vector<double>* c) {
    c->assign(x.size(), 0.0);
    double cmax = 0;
    for (std::size_t i = span; i + span < x.size(); ++i) {
      (*c)[i] = std::max(0.0, -(x[i + span] - 2 * x[i] + x[i - span]));
      cmax = std::max(cmax, (*c)[i]);
    }
    return cmax;
  };
  // Relative to the typical beat, not the largest: the first samples of a
  // step can still be the step before's, at another amplitude or rate. The
  // largest curvature of each 2.5 s (a beat at 30 bpm and more) is taken, and
  // their median is the typical beat.
  const std::size_t window = static_cast<std::size_t>(2.5 / period);
  auto typical = [&](const std::vector<double>& c) {
    std::vector<double> maxima;
    for (std::size_t w = 0; w < x.size(); w += window)
      if (w == 0 || x.size() - w >= window / 2)  // a short last piece may hold no beat
        maxima.push_back(*std::max_element(c.begin() + w, c.begin() + std::min(x.size(), w + window)));
    std::nth_element(maxima.begin(), maxima.begin() + maxima.size() / 2, maxima.end());
    return maxima[maxima.size() / 2];
  };
  std::vector<double> narrow, wide;
  if (curvature(k, &narrow) < 0.02) return m;  // flat: no beats
  const double typical_narrow = typical(narrow), typical_wide = wide_beats ? curvature(3 * k, &wide), typical(wide) : 0;
  std::vector<double> c(x.size(), 0.0);
  for (std::size_t i = 0; i < x.size(); ++i)
    c[i] = std::max(narrow[i] / typical_narrow, typical_wide > 0 ? wide[i] / typical_wide : 0.0);
  const double threshold = 0.4;
  const std::size_t refractory = static_cast<std::size_t>(0.150 / period);
  std::vector<std::size_t> peaks;
  for (std::size_t i = edge; i + edge < x.size();) {
    if (c[i] < threshold) {
      ++i;
      continue;
    }
    // The largest curvature within the refractory window is the beat.
    std::size_t best = i;
    const std::size_t end = std::min(x.size() - edge, i + refractory);
    for (std::size_t j = i; j < end; ++j)
      if (c[j] > c[best]) best = j;
    peaks.push_back(best);
    i = best + refractory;
  }
  m.beats = peaks.size();
  if (peaks.size() >= 2 && irregular) {
    m.bpm = 60.0 * static_cast<double>(peaks.size() - 1) / (static_cast<double>(peaks.back() - peaks.front()) * period);
  } else if (peaks.size() >= 2) {
    std::vector<double> rr;
    for (std::size_t i = 1; i < peaks.size(); ++i) rr.push_back((peaks[i] - peaks[i - 1]) * period);
    std::nth_element(rr.begin(), rr.begin() + rr.size() / 2, rr.end());
    m.bpm = 60.0 / rr[rr.size() / 2];
  }
  return m;
}

}  // namespace orna::cli::run
