// ECG paper: 25 mm/s, 10 mm/mV, 1 mm and 5 mm grid; long recordings wrap into
// rows of 10 s, as a printed rhythm strip does.
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools.h"

namespace orna::cli {

namespace {

constexpr double kPxPerMm = 5.0;
constexpr double kMmPerS = 25.0;
constexpr double kMmPerMV = 10.0;
constexpr double kRowSeconds = 10.0;
constexpr int kMaxRows = static_cast<int>(kMaxPlotSeconds / kRowSeconds);
constexpr double kMarginMm = 8.0;

// Where the strips go: rows of row_seconds, each spanning lo..hi mV.
struct Layout {
  int rows;
  double row_seconds;
  double lo, hi;  // mV
  double row_w_mm, row_h_mm;
  // Top left corner of row r, in mm.
  double X0() const { return kMarginMm; }
  double Y0(int r) const { return kMarginMm + 2 + r * (row_h_mm + kMarginMm); }
};

Layout Arrange(const std::vector<Point>& points) {
  Layout l;
  const double duration = points.empty() ? 1.0 : points.back().t;
  l.rows = std::clamp(static_cast<int>(std::ceil(duration / kRowSeconds)), 1, kMaxRows);
  l.row_seconds = l.rows == 1 ? std::max(1.0, std::ceil(duration)) : kRowSeconds;
  // Vertical span: the signal on the normal range, at least -1.5..+1.5 mV, at
  // most -5..+5 mV; pacing spikes beyond it are drawn to the paper's edge.
  double lo = -1.5, hi = 1.5;
  for (const auto& p : points)
    if (!p.high_range) lo = std::min(lo, p.mV), hi = std::max(hi, p.mV);
  l.lo = std::max(-5.0, std::floor(lo * 2) / 2 - 0.5);
  l.hi = std::min(5.0, std::ceil(hi * 2) / 2 + 0.5);
  l.row_h_mm = (l.hi - l.lo) * kMmPerMV;
  l.row_w_mm = l.row_seconds * kMmPerS;
  return l;
}

void SetFont(cairo_t* cr) {
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 3.5);
}

// The line above the paper: title, what is drawn of a longer recording, the
// scales and the pacing mark's legend.
std::string Caption(const Layout& l, const std::vector<Point>& points, const std::string& title) {
  std::string caption = title;
  const double drawn = l.rows * l.row_seconds;
  if (!points.empty() && points.back().t > drawn) {
    char span[64];
    std::snprintf(span, sizeof span, " (first %g s of %.1f s)", drawn, points.back().t);
    caption += span;
  }
  caption += "    25 mm/s    10 mm/mV";
  bool pulses_drawn = false;
  for (const auto& p : points) pulses_drawn |= p.pulse_s > 0 && p.t < drawn;
  if (pulses_drawn) caption += "    \u25BC pacing pulse";
  return caption;
}

// Width of the caption in mm, measured with the font it is drawn in.
double CaptionWidthMm(const std::string& caption) {
  cairo_surface_t* scratch = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
  cairo_t* cr = cairo_create(scratch);
  cairo_scale(cr, kPxPerMm, kPxPerMm);  // as drawn: glyph metrics depend on the pixel size
  SetFont(cr);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, caption.c_str(), &extents);
  cairo_destroy(cr);
  cairo_surface_destroy(scratch);
  return extents.x_advance;
}

void DrawCaption(cairo_t* cr, const std::string& caption) {
  SetFont(cr);
  cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
  cairo_move_to(cr, kMarginMm, kMarginMm - 2);
  cairo_show_text(cr, caption.c_str());
}

// Under each row's left end, where the row begins in the recording.
void DrawRowStart(cairo_t* cr, const Layout& l, int r) {
  SetFont(cr);
  cairo_set_font_size(cr, 3.0);
  cairo_set_source_rgb(cr, 0.35, 0.35, 0.35);
  char label[32];
  std::snprintf(label, sizeof label, "%g s", r * l.row_seconds);
  cairo_move_to(cr, l.X0(), l.Y0(r) + l.row_h_mm + 3.5);
  cairo_show_text(cr, label);
}

// The pink paper of row r with its 1 mm and 5 mm grid.
void DrawPaper(cairo_t* cr, const Layout& l, int r) {
  const double x0 = l.X0(), y0 = l.Y0(r);
  cairo_set_source_rgb(cr, 1.0, 0.96, 0.96);
  cairo_rectangle(cr, x0, y0, l.row_w_mm, l.row_h_mm);
  cairo_fill(cr);
  for (int pass = 0; pass < 2; ++pass) {
    bool major = pass == 1;
    cairo_set_source_rgb(cr, 0.96, major ? 0.55 : 0.8, major ? 0.55 : 0.8);
    cairo_set_line_width(cr, major ? 0.25 : 0.1);
    for (double x = 0; x <= l.row_w_mm + 1e-9; x += major ? 5 : 1) {
      cairo_move_to(cr, x0 + x, y0);
      cairo_line_to(cr, x0 + x, y0 + l.row_h_mm);
    }
    for (double y = 0; y <= l.row_h_mm + 1e-9; y += major ? 5 : 1) {
      cairo_move_to(cr, x0, y0 + y);
      cairo_line_to(cr, x0 + l.row_w_mm, y0 + y);
    }
    cairo_stroke(cr);
  }
}

// The points of row r, clipped to its paper.
void DrawTrace(cairo_t* cr, const Layout& l, int r, const std::vector<Point>& points, double period_s) {
  const double x0 = l.X0(), y0 = l.Y0(r);
  cairo_save(cr);
  cairo_rectangle(cr, x0, y0, l.row_w_mm, l.row_h_mm);
  cairo_clip(cr);
  cairo_set_source_rgb(cr, 0.05, 0.05, 0.15);
  cairo_set_line_width(cr, 0.3);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  const double t_begin = r * l.row_seconds, t_end = t_begin + l.row_seconds;
  // Samples the instrument did not get (underruns, a lost stream) leave a
  // gap in time: the trace breaks there instead of bridging it.
  const double max_step = 1.5 * period_s;
  bool first = true;
  double last_t = 0;
  for (const auto& p : points) {
    if (p.t < t_begin || p.t >= t_end) continue;
    double mv = std::clamp(p.mV, l.lo - 1, l.hi + 1);
    double x = x0 + (p.t - t_begin) * kMmPerS;
    double y = y0 + (l.hi - mv) * kMmPerMV;
    if (first || p.t - last_t > max_step) cairo_move_to(cr, x, y);
    else cairo_line_to(cr, x, y);
    first = false;
    last_t = p.t;
  }
  cairo_stroke(cr);
  cairo_restore(cr);
}

// Pacing marks above the strip, as paced-beat markers on a monitor print: a
// spike that is clipped at the paper's edge still shows where it was.
void DrawPacingMarks(cairo_t* cr, const Layout& l, int r, const std::vector<Point>& points) {
  const double x0 = l.X0(), y0 = l.Y0(r);
  const double t_begin = r * l.row_seconds, t_end = t_begin + l.row_seconds;
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

// Each label along the top of its row, at its point; a thin tick marks the
// point itself. A label that would run into the one before goes a line lower.
void DrawLabels(cairo_t* cr, const Layout& l, int r, const std::vector<Point>& points,
                const std::vector<Label>& labels) {
  const double x0 = l.X0(), y0 = l.Y0(r);
  const double t_begin = r * l.row_seconds, t_end = t_begin + l.row_seconds;
  SetFont(cr);
  cairo_set_font_size(cr, 2.5);
  cairo_set_source_rgb(cr, 0.1, 0.3, 0.9);
  cairo_set_line_width(cr, 0.15);
  double free_from = -1, lower_free_from = -1;  // x where each line is clear again
  for (const Label& label : labels) {
    if (label.point >= points.size()) continue;
    const double t = points[label.point].t;
    if (t < t_begin || t >= t_end) continue;
    const double x = x0 + (t - t_begin) * kMmPerS;
    cairo_move_to(cr, x, y0);
    cairo_line_to(cr, x, y0 + 1.2);
    cairo_stroke(cr);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, label.text.c_str(), &extents);
    const bool lower = x < free_from && x >= lower_free_from;
    (lower ? lower_free_from : free_from) = x + 0.3 + extents.x_advance + 0.5;
    cairo_move_to(cr, x + 0.3, y0 + (lower ? 6.0 : 3.2));
    cairo_show_text(cr, label.text.c_str());
  }
}

}  // namespace

double PlottedSeconds(const std::vector<Point>& points) {
  const Layout l = Arrange(points);
  return std::min(l.rows * l.row_seconds, points.empty() ? 0.0 : points.back().t);
}

bool WritePlot(const std::string& path, const std::vector<Point>& points, const std::string& title,
               double period_s, const std::vector<Label>& labels) {
  const Layout l = Arrange(points);
  const std::string caption = Caption(l, points, title);
  // A short strip is narrower than its caption: the page grows to hold it.
  const double page_w_mm = std::max(l.row_w_mm, std::ceil(CaptionWidthMm(caption))) + 2 * kMarginMm;
  const int width = static_cast<int>(page_w_mm * kPxPerMm);
  const int height = static_cast<int>((l.rows * l.row_h_mm + (l.rows + 1) * kMarginMm + 4) * kPxPerMm);

  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_scale(cr, kPxPerMm, kPxPerMm);  // user units are millimetres from here on
  DrawCaption(cr, caption);
  for (int r = 0; r < l.rows; ++r) {
    DrawPaper(cr, l, r);
    DrawRowStart(cr, l, r);
    DrawTrace(cr, l, r, points, period_s);
    DrawPacingMarks(cr, l, r, points);
    DrawLabels(cr, l, r, points, labels);
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
