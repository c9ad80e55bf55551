// ECG paper: 25 mm/s, 10 mm/mV, 1 mm and 5 mm grid; long recordings wrap into
// rows of 10 s, as a printed rhythm strip does.
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>

#include "tools.h"

namespace orna::cli {

namespace {

constexpr double kPxPerMm = 5.0;
constexpr double kMmPerS = 25.0;
constexpr double kMmPerMV = 10.0;
constexpr double kRowSeconds = 10.0;
constexpr int kMaxRows = 6;
constexpr double kMarginMm = 8.0;

}  // namespace

bool WritePlot(const std::string& path, const std::vector<Point>& points, const std::string& title,
               double period_s) {
  double duration = points.empty() ? 1.0 : points.back().t;
  int rows = std::clamp(static_cast<int>(std::ceil(duration / kRowSeconds)), 1, kMaxRows);
  double row_seconds = rows == 1 ? std::max(1.0, std::ceil(duration)) : kRowSeconds;

  // Vertical span: the signal on the normal range, at least -1.5..+1.5 mV, at
  // most -5..+5 mV; pacing spikes beyond it are drawn to the paper's edge.
  double lo = -1.5, hi = 1.5;
  for (const auto& p : points)
    if (!p.high_range) lo = std::min(lo, p.mV), hi = std::max(hi, p.mV);
  lo = std::max(-5.0, std::floor(lo * 2) / 2 - 0.5);
  hi = std::min(5.0, std::ceil(hi * 2) / 2 + 0.5);

  double row_h_mm = (hi - lo) * kMmPerMV;
  double row_w_mm = row_seconds * kMmPerS;
  int width = static_cast<int>((row_w_mm + 2 * kMarginMm) * kPxPerMm);
  int height = static_cast<int>((rows * row_h_mm + (rows + 1) * kMarginMm + 4) * kPxPerMm);

  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_scale(cr, kPxPerMm, kPxPerMm);  // user units are millimetres from here on

  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 3.5);
  cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
  cairo_move_to(cr, kMarginMm, kMarginMm - 2);
  bool pulses_drawn = false;
  for (const auto& p : points) pulses_drawn |= p.pulse_s > 0 && p.t < rows * row_seconds;
  std::string caption = title + "    25 mm/s    10 mm/mV";
  if (pulses_drawn) caption += "    \u25BC pacing pulse";
  cairo_show_text(cr, caption.c_str());

  for (int r = 0; r < rows; ++r) {
    double x0 = kMarginMm, y0 = kMarginMm + 2 + r * (row_h_mm + kMarginMm);
    // Paper.
    cairo_set_source_rgb(cr, 1.0, 0.96, 0.96);
    cairo_rectangle(cr, x0, y0, row_w_mm, row_h_mm);
    cairo_fill(cr);
    for (int pass = 0; pass < 2; ++pass) {
      bool major = pass == 1;
      cairo_set_source_rgb(cr, 0.96, major ? 0.55 : 0.8, major ? 0.55 : 0.8);
      cairo_set_line_width(cr, major ? 0.25 : 0.1);
      for (double x = 0; x <= row_w_mm + 1e-9; x += major ? 5 : 1) {
        cairo_move_to(cr, x0 + x, y0);
        cairo_line_to(cr, x0 + x, y0 + row_h_mm);
      }
      for (double y = 0; y <= row_h_mm + 1e-9; y += major ? 5 : 1) {
        cairo_move_to(cr, x0, y0 + y);
        cairo_line_to(cr, x0 + row_w_mm, y0 + y);
      }
      cairo_stroke(cr);
    }
    // Trace.
    cairo_save(cr);
    cairo_rectangle(cr, x0, y0, row_w_mm, row_h_mm);
    cairo_clip(cr);
    cairo_set_source_rgb(cr, 0.05, 0.05, 0.15);
    cairo_set_line_width(cr, 0.3);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    double t_begin = r * row_seconds, t_end = t_begin + row_seconds;
    // Samples the instrument did not get (underruns, a lost stream) leave a
    // gap in time: the trace breaks there instead of bridging it.
    const double max_step = 1.5 * period_s;
    bool first = true;
    double last_t = 0;
    for (const auto& p : points) {
      if (p.t < t_begin || p.t >= t_end) continue;
      double mv = std::clamp(p.mV, lo - 1, hi + 1);
      double x = x0 + (p.t - t_begin) * kMmPerS;
      double y = y0 + (hi - mv) * kMmPerMV;
      if (first || p.t - last_t > max_step) cairo_move_to(cr, x, y);
      else cairo_line_to(cr, x, y);
      first = false;
      last_t = p.t;
    }
    cairo_stroke(cr);
    cairo_restore(cr);
    // Pacing marks above the strip, as paced-beat markers on a monitor print:
    // a spike that is clipped at the paper's edge still shows where it was.
    cairo_set_source_rgb(cr, 0.1, 0.3, 0.9);
    for (const Point& p : points) {
      if (!(p.pulse_s > 0)) continue;
      if (p.t < t_begin || p.t >= t_end) continue;
      double x = x0 + (p.t - t_begin) * kMmPerS;
      cairo_move_to(cr, x - 1.0, y0 - 2.0);
      cairo_line_to(cr, x + 1.0, y0 - 2.0);
      cairo_line_to(cr, x, y0 - 0.3);
      cairo_close_path(cr);
      cairo_fill(cr);
    }
  }
  cairo_destroy(cr);
  cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  // Font caches are built again on the next plot; freeing them keeps leak
  // checkers quiet about what would otherwise live until exit.
  cairo_debug_reset_static_data();
  FcFini();
  return status == CAIRO_STATUS_SUCCESS;
}

}  // namespace orna::cli
