// The report of `orna run` as a PDF to file: A4 pages with a header (the
// sequence's title, the monitor under test) and a footer (page N of M), the
// summary, every step with its strip on ECG paper, and a block to sign.
#include <cairo-pdf.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "run/monitor_report.h"
#include "run/report_text.h"
#include "run/run.h"
#include "text.h"

namespace orna::cli::run {

namespace {

constexpr double kPageW = 210, kPageH = 297;  // mm
constexpr double kLeft = 15, kRight = kPageW - 15, kTop = 20, kBottom = kPageH - 16;
constexpr double kPtPerMm = 72 / 25.4;
constexpr double kSize = 3.0;     // body text, mm (8.5 pt)
constexpr double kLine = 1.3;     // line height, times the size
constexpr double kPad = 0.8;      // inside a cell, mm
constexpr double kKeyW = 36;      // the key column of a key-value table, mm

struct Colour {
  double r, g, b;
};
Colour VerdictColour(Verdict v) {
  switch (v) {
    case Verdict::Pass: return {0.85, 0.94, 0.85};
    case Verdict::Fail: return {0.96, 0.82, 0.82};
    case Verdict::Disclosed: return {0.89, 0.91, 0.96};
    case Verdict::Skipped: return {0.93, 0.93, 0.93};
    case Verdict::Done: return {0.93, 0.96, 0.89};
  }
  return {1, 1, 1};
}

// One UTF-8 character's length from its first byte.
std::size_t CharLength(unsigned char c) { return c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1; }

class Pdf {
 public:
  Pdf(cairo_t* cr, const Sequence& seq, const Report& r, int total) : cr_(cr), seq_(seq), r_(r), total_(total) {
    cairo_scale(cr_, kPtPerMm, kPtPerMm);  // user units are millimetres from here on
  }

  int pages() const { return page_; }

  void Document() {
    const Report& r = r_;
    Title(r.title);
    if (r.instrument.virtual_instrument) {
      y_ += Text(kLeft, y_, kRight - kLeft,
                 std::string(kVirtualMark) + ": these readings come from the virtual instrument, not from a monitor.",
                 kSize * 1.2, true, {0.7, 0, 0}) + 2;
    }
    const bool virt = r.instrument.virtual_instrument;
    KeyValues({{"Result", SummaryLine(r)},
               {"Sequence", r.file},
               {"Source", r.source.empty() ? "(not given)" : r.source},
               {"SHA-256", r.checksum},
               {"Monitor under test", DeviceText(r)},
               {"Operator", r.operator_name.empty() ? "(not given)" : r.operator_name},
               {"Readings", ReadingsText(r)},
               {"Started", r.date},
               {"Ended", r.ended.empty() ? "(not ended)" : r.ended},
               {"Instrument", (virt ? "virtual instrument, serial " : "serial ") + r.instrument.serial +
                                  ", hardware " + r.instrument.hardware + ", firmware " + r.instrument.firmware +
                                  " on " + r.instrument.port},
               {"Software", "liborna " + r.library_version + ", orna " + r.tool_version + ", host " + r.host}});
    y_ += 4;
    SummaryTable();
    for (std::size_t i = 0; i < seq_.steps.size() && i < r.results.size() && r.results[i].done; ++i) StepBlock(i);
    Signatures();
    EndPage();
  }

 private:
  // Lines of `text` that fit `width` at `size`: broken at spaces, and within
  // a word (a path, a checksum) where it is wider than the column.
  std::vector<std::string> Wrap(const std::string& text, double width, double size, bool bold) {
    Font(size, bold);
    std::vector<std::string> lines;
    std::string line;
    auto fits = [&](const std::string& s) {
      cairo_text_extents_t e;
      cairo_text_extents(cr_, s.c_str(), &e);
      return e.x_advance <= width;
    };
    for (std::size_t at = 0; at <= text.size();) {
      std::size_t end = text.find_first_of(" \n", at);
      if (end == std::string::npos) end = text.size();
      std::string word = text.substr(at, end - at);
      const std::string joined = line.empty() ? word : line + " " + word;
      if (fits(joined)) {
        line = joined;
      } else {
        if (!line.empty()) lines.push_back(line);
        line.clear();
        for (std::size_t c = 0; c < word.size();) {
          const std::size_t n = CharLength(static_cast<unsigned char>(word[c]));
          if (!line.empty() && !fits(line + word.substr(c, n))) lines.push_back(line), line.clear();
          line += word.substr(c, n);
          c += n;
        }
      }
      if (end < text.size() && text[end] == '\n') lines.push_back(line), line.clear();
      at = end + 1;
    }
    lines.push_back(line);
    return lines;
  }

  void Font(double size, bool bold) {
    cairo_select_font_face(cr_, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr_, size);
  }

  // Height of `text` wrapped to `width`.
  double Height(const std::string& text, double width, double size = kSize, bool bold = false) {
    return Wrap(ValidUtf8(text), width, size, bold).size() * size * kLine;
  }

  // Draws `text` wrapped to `width` from (x, y), the top of its first line; its height.
  double Text(double x, double y, double width, const std::string& text, double size = kSize, bool bold = false,
              Colour c = {0, 0, 0}) {
    const std::vector<std::string> lines = Wrap(ValidUtf8(text), width, size, bold);
    cairo_set_source_rgb(cr_, c.r, c.g, c.b);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      cairo_move_to(cr_, x, y + (i + 0.8) * size * kLine);
      cairo_show_text(cr_, lines[i].c_str());
    }
    return lines.size() * size * kLine;
  }

  // The first line of `text` at that width, with an ellipsis when there is more.
  std::string FirstLine(const std::string& text, double width, double size, bool bold) {
    const std::vector<std::string> lines = Wrap(ValidUtf8(text), width - 3, size, bold);
    return lines.size() > 1 ? lines[0] + "\u2026" : lines[0];
  }

  // A new page when `height` more does not fit on this one.
  void Need(double height) {
    if (y_ + height > kBottom && y_ > kTop + 1) {
      EndPage();
      ++page_;
      y_ = kTop;
    }
  }

  // Header, footer and, on a virtual run, the mark across the page, over
  // what the page holds; then the page goes out.
  void EndPage() {
    Text(kLeft, 6, 95, FirstLine(r_.title, 95, 2.6, true), 2.6, true, {0.3, 0.3, 0.3});
    // "Monitor: maker model, serial S": the rest is on the first page.
    std::string device;
    for (const auto& [k, v] : r_.device)
      if (k != "notes" && k != "software")
        device += (device.empty() ? "" : k == "model" ? " " : ", ") +
                  (k == "manufacturer" || k == "model" ? v : k + " " + v);
    device = "Monitor: " + (device.empty() ? "(not given)" : device);
    Text(kLeft + 97, 6, kRight - kLeft - 97, FirstLine(device, kRight - kLeft - 97, 2.6, false), 2.6, false,
         {0.3, 0.3, 0.3});
    cairo_set_source_rgb(cr_, 0.6, 0.6, 0.6);
    cairo_set_line_width(cr_, 0.2);
    cairo_move_to(cr_, kLeft, 16);
    cairo_line_to(cr_, kRight, 16);
    cairo_move_to(cr_, kLeft, kPageH - 13);
    cairo_line_to(cr_, kRight, kPageH - 13);
    cairo_stroke(cr_);
    Text(kLeft, kPageH - 12, 140, "orna run, started " + r_.date, 2.4, false, {0.3, 0.3, 0.3});
    const std::string n = "Page " + std::to_string(page_) + " of " + std::to_string(total_);
    Text(kRight - 25, kPageH - 12, 25, n, 2.4, false, {0.3, 0.3, 0.3});
    if (r_.instrument.virtual_instrument) {
      // Across the page, and in words a text search finds on every page.
      Text(kLeft, 10.5, kRight - kLeft, kVirtualMark, 2.6, true, {0.7, 0, 0});
      cairo_save(cr_);
      Font(9, true);
      cairo_text_extents_t e;
      cairo_text_extents(cr_, kVirtualMark, &e);
      cairo_translate(cr_, kPageW / 2, kPageH / 2);
      cairo_rotate(cr_, -std::atan2(kPageH, kPageW));
      cairo_set_source_rgba(cr_, 0.8, 0, 0, 0.2);
      cairo_move_to(cr_, -e.x_advance / 2, e.height / 2);
      cairo_show_text(cr_, kVirtualMark);
      cairo_restore(cr_);
    }
    cairo_show_page(cr_);
  }

  void Title(const std::string& title) {
    y_ += Text(kLeft, y_, kRight - kLeft, title, 5.5, true) + 2;
  }

  void KeyValues(const std::vector<std::pair<std::string, std::string>>& rows, const char* verdict_key = nullptr,
                 Verdict verdict = Verdict::Skipped) {
    const double value_w = kRight - kLeft - kKeyW - 2 * kPad;
    for (const auto& [k, v] : rows) {
      const double h = std::max(Height(k, kKeyW - 2 * kPad, kSize, true), Height(v, value_w)) + 2 * kPad;
      Need(h);
      if (verdict_key && k == verdict_key) Cell(kLeft + kKeyW, y_, kRight - kLeft - kKeyW, h, VerdictColour(verdict));
      Text(kLeft + kPad, y_ + kPad, kKeyW - 2 * kPad, k, kSize, true);
      Text(kLeft + kKeyW + kPad, y_ + kPad, value_w, v);
      Rule(y_ + h);
      y_ += h;
    }
  }

  void Cell(double x, double y, double w, double h, Colour c) {
    cairo_set_source_rgb(cr_, c.r, c.g, c.b);
    cairo_rectangle(cr_, x, y, w, h);
    cairo_fill(cr_);
  }

  void Rule(double y) {
    cairo_set_source_rgb(cr_, 0.75, 0.75, 0.75);
    cairo_set_line_width(cr_, 0.15);
    cairo_move_to(cr_, kLeft, y);
    cairo_line_to(cr_, kRight, y);
    cairo_stroke(cr_);
  }

  // A row of cells of the given widths; the verdict's cell (index `coloured`) on its colour.
  void Row(const std::vector<std::string>& cells, const std::vector<double>& widths, bool bold, int coloured = -1,
           Verdict verdict = Verdict::Skipped) {
    double h = 0;
    for (std::size_t c = 0; c < cells.size(); ++c)
      h = std::max(h, Height(cells[c], widths[c] - 2 * kPad, kSize, bold));
    h += 2 * kPad;
    Need(h);
    double x = kLeft;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      if (static_cast<int>(c) == coloured) Cell(x, y_, widths[c], h, VerdictColour(verdict));
      Text(x + kPad, y_ + kPad, widths[c] - 2 * kPad, cells[c], kSize, bold);
      x += widths[c];
    }
    Rule(y_ + h);
    y_ += h;
  }

  void SummaryTable() {
    const std::vector<double> w = {8, 72, 24, 34, 18, 24};
    Row({"#", "Step", "Expected", "Reading", "Verdict", "Ended"}, w, true);
    for (std::size_t i = 0; i < seq_.steps.size() && i < r_.results.size() && r_.results[i].done; ++i) {
      const StepResult& x = r_.results[i];
      Row({std::to_string(i + 1), seq_.steps[i].name, ExpectedText(seq_.steps[i]), ReadingText(x),
           VerdictName(x.verdict), x.ended.size() >= 19 ? x.ended.substr(11, 8) : x.ended},
          w, false, 4, x.verdict);
    }
  }

  void StepBlock(std::size_t i) {
    const Step& st = seq_.steps[i];
    const StepResult& x = r_.results[i];
    std::string settings = st.function_name + (st.state.rhythm.empty() ? "" : " " + st.state.rhythm) +
                           (st.names_function ? "" : " (playing)");
    for (const auto& [k, v] : st.settings) settings += ", " + k + " = " + v;
    if (const auto [key, value] = DerivedRate(st); !key.empty())
      settings += ", " + key + " = " + Num(value) + " (derived)";
    std::vector<std::pair<std::string, std::string>> rows = {
        {"Settings", settings},
        {"Duration", Num(st.duration) + " s" + (st.timed ? " (timed from the change)" : "")},
        {"Started", x.started},
        {"Ended", x.ended}};
    if (!st.instruction.empty()) rows.push_back({"Instruction", st.instruction});
    if (!st.prompt.empty()) rows.push_back({"Prompt", st.prompt});
    if (st.expect.judged() || st.monitor.judged()) rows.push_back({"Expected", ExpectedText(st)});
    if (!st.prompt.empty() || st.monitor.judged())
      rows.push_back({"Reading", x.answered ? ReadingText(x) : "(none)"});
    rows.push_back({"Verdict", x.verdict == Verdict::Done ? ReadingText(x) : VerdictName(x.verdict)});
    if (!x.reason.empty()) rows.push_back({"Reason", x.reason});
    rows.push_back({"Link", std::to_string(x.link.packets) + " packets, " + std::to_string(x.link.underruns) +
                                " underruns, " + std::to_string(x.link.sequence_errors) + " sequence errors" +
                                (x.link.lost ? ", stream LOST" : "") + "; " + Num(x.link.played_s, "%.2f") +
                                " s played"});
    if (x.has_measured) rows.push_back({"Measured", MeasuredText(x.measured) + " (" + kSourceMeasured + ")"});
    if (!x.monitor.empty()) rows.push_back({"Monitor reported", MonitorText(x)});
    // The heading stays with the step's first rows; the strip with its caption.
    y_ += 4;
    const std::string heading = std::to_string(i + 1) + ". " + st.name;
    Need(Height(heading, kRight - kLeft, 4, true) + 30);
    y_ += Text(kLeft, y_, kRight - kLeft, heading, 4, true) + 1;
    KeyValues(rows, "Verdict", x.verdict);
    if (x.strip.empty()) return;
    const StripSize z = SizeOf(x.strip);
    const std::string caption = "Last " + Num(x.strip.lo.size() * x.strip.bucket_s, "%.1f") +
                                " s played; 25 mm/s, 10 mm/mV; 1 mV calibration pulse first; \u25BC pacing pulse";
    Need(z.height_mm + 8);
    y_ += 1.5;
    y_ += Text(kLeft, y_, kRight - kLeft, caption, 2.5, false, {0.3, 0.3, 0.3});
    DrawStrip(cr_, x.strip, kLeft, y_);
    y_ += z.height_mm + 2;
  }

  void Signatures() {
    y_ += 8;
    Need(40);
    y_ += Text(kLeft, y_, kRight - kLeft, "Signatures", 4, true) + 2;
    const std::vector<double> w = {30, 60, 50, 40};
    for (const auto& [role, name] : {std::pair<std::string, std::string>{"Tested by", r_.operator_name},
                                     std::pair<std::string, std::string>{"Reviewed by", ""}}) {
      Text(kLeft, y_ + 4, w[0], role, kSize, true);
      Text(kLeft + w[0], y_ + 4, w[1], name);
      Text(kLeft + w[0] + w[1], y_ + 4, 20, "Signature");
      Text(kLeft + w[0] + w[1] + w[2], y_ + 4, 10, "Date");
      cairo_set_source_rgb(cr_, 0, 0, 0);
      cairo_set_line_width(cr_, 0.2);
      for (double x : {kLeft + w[0], kLeft + w[0] + w[1] + 18, kLeft + w[0] + w[1] + w[2] + 10}) {
        cairo_move_to(cr_, x, y_ + 9);
        cairo_line_to(cr_, x + (x == kLeft + w[0] ? w[1] - 4 : 30), y_ + 9);
      }
      cairo_stroke(cr_);
      y_ += 12;
    }
  }

  cairo_t* cr_;
  const Sequence& seq_;
  const Report& r_;
  int total_;
  int page_ = 1;
  double y_ = kTop;
};

cairo_status_t Append(void* out, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

// The whole document once; `total` pages printed in the footers. Its page count.
int Render(const Sequence& seq, const Report& r, int total, std::string* pdf) {
  cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(Append, pdf, kPageW * kPtPerMm, kPageH * kPtPerMm);
  cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_TITLE, ValidUtf8(r.title).c_str());
  cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATOR, ("orna " + r.tool_version).c_str());
  cairo_t* cr = cairo_create(surface);
  Pdf doc(cr, seq, r, total);
  doc.Document();
  const bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  cairo_surface_finish(surface);
  const bool finished = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok && finished ? doc.pages() : 0;
}

}  // namespace

std::string ReportPdf(const Sequence& seq, const Report& r) {
  // Laid out twice: the first time counts the pages the footers name.
  std::string scratch, pdf;
  const int pages = Render(seq, r, 0, &scratch);
  if (pages > 0 && Render(seq, r, pages, &pdf) != pages) pdf.clear();
  // Font caches are built again on the next report; freeing them keeps leak
  // checkers quiet about what would otherwise live until exit.
  cairo_debug_reset_static_data();
  FcFini();
  return pdf;
}

}  // namespace orna::cli::run
