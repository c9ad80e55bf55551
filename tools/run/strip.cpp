#include "run/strip.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace orna::cli::run {

namespace {

constexpr double kMmPerS = 25.0;
constexpr double kMmPerMV = 10.0;
constexpr double kBucketS = 0.001;
constexpr double kPxPerMm = 5.0;   // PNG strips: 127 dpi
constexpr double kMarksMm = 3.0;   // the band above the paper that holds the pacing marks
// The calibration pulse: 2 mm of baseline, 1 mV for 200 ms, 2 mm of baseline.
constexpr double kCalLeadMm = 2.0, kCalPulseMm = 0.2 * kMmPerS, kCalMm = kCalLeadMm * 2 + kCalPulseMm;

}  // namespace

Strip MakeStrip(const std::vector<Point>& points, double period_s, double seconds,
                const std::vector<double>& pulse_times) {
  Strip s;
  if (points.size() < 2) return s;
  const double end = points.back().t + period_s;
  const double t0 = std::max(points.front().t, end - seconds);
  // Buckets no finer than the samples: the graph of real hardware has one in 6 ms.
  s.bucket_s = std::max(kBucketS, period_s);
  const std::size_t n = static_cast<std::size_t>(std::ceil((end - t0) / s.bucket_s - 1e-9));
  s.lo.assign(n, NAN);
  s.hi.assign(n, NAN);
  for (const Point& p : points) {
    if (p.t < t0) continue;
    const std::size_t b = std::min(n - 1, static_cast<std::size_t>((p.t - t0) / s.bucket_s));
    s.lo[b] = std::isnan(s.lo[b]) ? p.mV : std::min(s.lo[b], p.mV);
    s.hi[b] = std::isnan(s.hi[b]) ? p.mV : std::max(s.hi[b], p.mV);
  }
  for (double t : pulse_times)
    if (t >= t0 && t < end) s.pulses.push_back(t - t0);
  return s;
}

StripSize SizeOf(const Strip& s) {
  StripSize z;
  // The signal on its paper, at least -1.5..+1.5 mV (the calibration pulse
  // fits), at most -5..+5 mV; pacing spikes beyond are clipped at the edge.
  double lo = -1.5, hi = 1.5;
  for (std::size_t i = 0; i < s.lo.size(); ++i)
    if (!std::isnan(s.lo[i])) lo = std::min(lo, s.lo[i]), hi = std::max(hi, s.hi[i]);
  z.lo_mV = std::max(-5.0, std::floor(lo * 2) / 2 - 0.5);
  z.hi_mV = std::min(5.0, std::ceil(hi * 2) / 2 + 0.5);
  z.width_mm = kCalMm + std::ceil(s.lo.size() * s.bucket_s * kMmPerS);
  z.height_mm = kMarksMm + (z.hi_mV - z.lo_mV) * kMmPerMV;
  return z;
}

void DrawStrip(cairo_t* cr, const Strip& s, double x0, double y0) {
  const StripSize z = SizeOf(s);
  const double top = y0 + kMarksMm, h = z.height_mm - kMarksMm;
  cairo_save(cr);
  cairo_set_source_rgb(cr, 1.0, 0.96, 0.96);
  cairo_rectangle(cr, x0, top, z.width_mm, h);
  cairo_fill(cr);
  for (const bool major : {false, true}) {
    cairo_set_source_rgb(cr, 0.96, major ? 0.55 : 0.8, major ? 0.55 : 0.8);
    cairo_set_line_width(cr, major ? 0.25 : 0.1);
    const double step = major ? 5 : 1;
    for (double x = 0; x <= z.width_mm + 1e-9; x += step) {
      cairo_move_to(cr, x0 + x, top);
      cairo_line_to(cr, x0 + x, top + h);
    }
    // Lines on whole millivolts and their fifths, from the zero line.
    for (double mv = std::ceil(z.lo_mV * 10) / 10; mv <= z.hi_mV + 1e-9; mv += step / kMmPerMV) {
      cairo_move_to(cr, x0, top + (z.hi_mV - mv) * kMmPerMV);
      cairo_line_to(cr, x0 + z.width_mm, top + (z.hi_mV - mv) * kMmPerMV);
    }
    cairo_stroke(cr);
  }
  cairo_rectangle(cr, x0, top, z.width_mm, h);
  cairo_clip(cr);
  cairo_set_source_rgb(cr, 0.05, 0.05, 0.15);
  cairo_set_line_width(cr, 0.3);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  const auto y = [&](double mv) { return top + (z.hi_mV - std::clamp(mv, z.lo_mV - 1, z.hi_mV + 1)) * kMmPerMV; };
  cairo_move_to(cr, x0, y(0));
  cairo_line_to(cr, x0 + kCalLeadMm, y(0));
  cairo_line_to(cr, x0 + kCalLeadMm, y(1));
  cairo_line_to(cr, x0 + kCalLeadMm + kCalPulseMm, y(1));
  cairo_line_to(cr, x0 + kCalLeadMm + kCalPulseMm, y(0));
  cairo_line_to(cr, x0 + kCalMm, y(0));
  cairo_stroke(cr);
  // Each millisecond from the end nearer the last one drawn; a gap (nothing
  // played: an underrun, a lost stream) breaks the trace.
  bool drawing = false;
  double last = 0;
  for (std::size_t i = 0; i < s.lo.size(); ++i) {
    if (std::isnan(s.lo[i])) {
      drawing = false;
      continue;
    }
    const double x = x0 + kCalMm + (i + 0.5) * s.bucket_s * kMmPerS;
    const bool down = drawing && std::fabs(last - s.hi[i]) < std::fabs(last - s.lo[i]);
    const double a = down ? s.hi[i] : s.lo[i], b = down ? s.lo[i] : s.hi[i];
    if (drawing) cairo_line_to(cr, x, y(a));
    else cairo_move_to(cr, x, y(a));
    if (b != a) cairo_line_to(cr, x, y(b));
    drawing = true;
    last = b;
  }
  cairo_stroke(cr);
  cairo_restore(cr);
  // Pacing marks above the paper, as paced-beat markers on a monitor's print:
  // a spike clipped at the paper's edge still shows where it was.
  cairo_set_source_rgb(cr, 0.1, 0.3, 0.9);
  for (double t : s.pulses) {
    const double x = x0 + kCalMm + t * kMmPerS;
    cairo_move_to(cr, x - 1.0, y0 + 0.5);
    cairo_line_to(cr, x + 1.0, y0 + 0.5);
    cairo_line_to(cr, x, top - 0.3);
    cairo_close_path(cr);
    cairo_fill(cr);
  }
}

std::string StripPng(const Strip& s) {
  if (s.empty()) return "";
  const StripSize z = SizeOf(s);
  const int w = static_cast<int>(std::ceil((z.width_mm + 2) * kPxPerMm));
  const int h = static_cast<int>(std::ceil((z.height_mm + 2) * kPxPerMm));
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_scale(cr, kPxPerMm, kPxPerMm);
  DrawStrip(cr, s, 1, 1);
  cairo_destroy(cr);
  std::string png;
  const auto append = [](void* out, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
  };
  const bool ok = cairo_surface_write_to_png_stream(surface, append, &png) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok ? png : "";
}

std::string StripJson(const Strip& s) {
  using nlohmann::json;
  // Microvolts are far below what paper shows; NaN (nothing played) is null.
  const auto list = [](const std::vector<double>& v) {
    json a = json::array();
    for (double x : v) a.push_back(std::isnan(x) ? json(nullptr) : json(std::round(x * 1000) / 1000));
    return a;
  };
  std::vector<double> pulses;
  for (double t : s.pulses) pulses.push_back(std::round(t * 1e5) / 1e5);
  return json{{"bucket_s", s.bucket_s}, {"lo", list(s.lo)}, {"hi", list(s.hi)}, {"pulses", pulses}}.dump() + "\n";
}

bool ReadStripJson(const std::string& text, Strip* s) {
  using nlohmann::json;
  const json j = json::parse(text, nullptr, false);
  if (!j.is_object()) return false;
  try {
    Strip r;
    r.bucket_s = j.at("bucket_s").get<double>();
    for (auto [key, out] : {std::pair{"lo", &r.lo}, std::pair{"hi", &r.hi}})
      for (const json& v : j.at(key)) out->push_back(v.is_null() ? NAN : v.get<double>());
    r.pulses = j.at("pulses").get<std::vector<double>>();
    if (!(r.bucket_s > 0) || r.lo.size() != r.hi.size()) return false;
    *s = std::move(r);
  } catch (const json::exception&) {
    return false;
  }
  return true;
}

}  // namespace orna::cli::run
