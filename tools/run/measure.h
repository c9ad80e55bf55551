// What the virtual instrument actually played during a step, measured from
// its decoded samples.
#pragma once

#include <cstddef>
#include <vector>

#include "tools.h"

namespace orna::cli::run {

struct Measured {
  // 60 / median R-R interval (a regular rhythm, ectopics and all), or the
  // mean rate, beats over time, of an irregular one; 0 with fewer than two beats.
  double bpm = 0;
  std::size_t beats = 0;      // R peaks found
  double peak_to_peak_mV = 0; // of everything played, pacing pulses included
  std::size_t pacing_pulses = 0;
  std::vector<double> pacing_at;  // s, where each pacing pulse begins
};

// `points` sampled every `period_s`; `pacing_mV` the pacing amplitude in force
// (0: no pacing, and no edge is taken for a pulse). `wide_beats`: beats may
// be wide ventricular complexes (a rhythm), whose T waves are lower than them.
// `irregular`: the rate is the mean rate (a rhythm whose intervals vary).
Measured Measure(const std::vector<Point>& points, double period_s, double pacing_mV, bool wide_beats = false,
                 bool irregular = false);

}  // namespace orna::cli::run
