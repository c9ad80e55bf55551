// A step's strip on ECG paper (25 mm/s, 10 mm/mV): a 1 mV, 200 ms
// calibration pulse, then the last seconds the step played, with a mark over
// every pacing pulse. It is kept as the lowest and highest value of each
// millisecond, finer than any print, so that a report can draw it on a page
// or into a PNG, and a resumed run can read it back from beside its report.
#pragma once

#include <cairo.h>

#include <string>
#include <vector>

#include "tools.h"

namespace orna::cli::run {

struct Strip {
  double bucket_s = 0;         // time each lo/hi pair spans
  std::vector<double> lo, hi;  // mV; NaN where nothing was played
  std::vector<double> pulses;  // s from the strip's start, one per pacing pulse
  bool empty() const { return lo.empty(); }
};

// The last `seconds` of `points` (one every `period_s`); `pulse_times` in the points' time.
Strip MakeStrip(const std::vector<Point>& points, double period_s, double seconds,
                const std::vector<double>& pulse_times);

// The strip's extent on paper, in mm, and the span of its paper in mV.
struct StripSize {
  double width_mm = 0, height_mm = 0;
  double lo_mV = 0, hi_mV = 0;
};
StripSize SizeOf(const Strip& strip);

// Draws the strip with its top left corner at (x, y); user units are mm.
void DrawStrip(cairo_t* cr, const Strip& strip, double x_mm, double y_mm);
// The strip as PNG bytes (no text: the report captions it); empty for an empty strip.
std::string StripPng(const Strip& strip);

// What a strip needs, as JSON text; and back (false when it is not one).
std::string StripJson(const Strip& strip);
bool ReadStripJson(const std::string& text, Strip* strip);

}  // namespace orna::cli::run
