#include <algorithm>
#include <cmath>

#include "signals/plan.h"

namespace orna::signals {
namespace {

// Adds the Gaussian waves of every event around the circle; marks where any
// wave is within three sigma as busy.
void DrawEvents(const Plan& plan, double fs, double stretch, std::vector<double>* mv,
                std::vector<char>* busy) {
  const long n = static_cast<long>(mv->size());
  for (const Event& e : plan.events) {
    for (const Wave& w : e.beat) {
      const double centre = (e.t_s * stretch + w.at_s) * fs;
      const double sigma = w.width_s * fs;
      const long reach = static_cast<long>(std::ceil(6 * sigma));
      const long c = static_cast<long>(std::floor(centre));
      for (long k = c - reach; k <= c + reach + 1; ++k) {
        const long i = ((k % n) + n) % n;
        const double d = (static_cast<double>(k) - centre) / sigma;
        (*mv)[i] += w.mV * std::exp(-0.5 * d * d);
        if (std::fabs(d) <= 3) (*busy)[i] = 1;
      }
    }
  }
}

void DrawTones(const Plan& plan, std::vector<double>* mv) {
  const std::size_t n = mv->size();
  for (const Tone& t : plan.tones) {
    // sin((k+1)w + p) = 2 cos(w) sin(kw + p) - sin((k-1)w + p)
    const double w = 2 * M_PI * static_cast<double>(t.cycles) / static_cast<double>(n);
    const double c2 = 2 * std::cos(w);
    double prev = std::sin(t.phase - w), cur = std::sin(t.phase);
    for (std::size_t k = 0; k < n; ++k) {
      (*mv)[k] += t.mV * cur;
      const double next = c2 * cur - prev;
      prev = cur;
      cur = next;
    }
  }
}

// The middle half of the longest quiet run (or of the whole loop when nothing
// is quiet), and there the sample nearest 0.
std::size_t Cut(const std::vector<double>& mv, const std::vector<char>& busy) {
  const std::size_t n = mv.size();
  std::size_t best_start = 0, best_len = n;
  if (std::count(busy.begin(), busy.end(), 1) > 0 &&
      std::count(busy.begin(), busy.end(), 0) > 0) {
    best_len = 0;
    const std::size_t first_busy = static_cast<std::size_t>(
        std::find(busy.begin(), busy.end(), 1) - busy.begin());
    std::size_t run = 0;
    for (std::size_t j = 1; j <= n; ++j) {  // around the circle from a busy sample
      const std::size_t i = (first_busy + j) % n;
      if (!busy[i]) {
        ++run;
        if (run > best_len) best_len = run, best_start = (i + n + 1 - run) % n;
      } else {
        run = 0;
      }
    }
  }
  std::size_t cut = best_start;
  double least = INFINITY;
  for (std::size_t j = best_len / 4; j < best_len - best_len / 4; ++j) {
    const std::size_t i = (best_start + j) % n;
    if (std::fabs(mv[i]) < least) least = std::fabs(mv[i]), cut = i;
  }
  return cut;
}

}  // namespace

Rendered Draw(const Plan& plan) {
  Rendered out;
  const double fs = out.samples_per_second;
  const long n = std::max(1L, std::lround(plan.loop_s * fs));
  const double stretch = static_cast<double>(n) / fs / plan.loop_s;
  std::vector<double> mv(static_cast<std::size_t>(n), 0.0);
  std::vector<char> busy(mv.size(), 0);
  DrawEvents(plan, fs, stretch, &mv, &busy);
  DrawTones(plan, &mv);
  // A paced loop's start is where the pacing pulses are counted from.
  const std::size_t cut = plan.pacing.rate_per_min > 0 ? 0 : Cut(mv, busy);

  out.loop_s = static_cast<double>(n) / fs;
  out.microvolts.resize(mv.size());
  for (std::size_t i = 0; i < mv.size(); ++i) out.microvolts[i] = 1000 * mv[(i + cut) % mv.size()];
  for (const Event& e : plan.events) {
    if (!e.code) continue;
    const double fiducial = std::isnan(e.fiducial_s) ? Fiducial(e.beat) : e.fiducial_s;
    double t = e.t_s * stretch + fiducial - static_cast<double>(cut) / fs;
    t = std::fmod(t, out.loop_s);
    if (t < 0) t += out.loop_s;
    if (t >= out.loop_s) t = 0;
    out.annotations.push_back({t, e.code});
  }
  std::stable_sort(out.annotations.begin(), out.annotations.end(),
                   [](const Annotation& a, const Annotation& b) { return a.t_s < b.t_s; });
  const double first = out.annotations.empty() ? 0 : out.annotations.front().t_s;
  out.annotations.insert(out.annotations.begin(), {first, plan.rhythm});
  out.pacing = plan.pacing;
  return out;
}

}  // namespace orna::signals
