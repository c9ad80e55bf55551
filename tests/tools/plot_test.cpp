// The PNG strip: paper size and scale, grid, trace and pacing marks where
// 25 mm/s and 10 mm/mV put them (5 pixels per millimetre).
#include <cairo.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/tools.h"

namespace orna::cli {
namespace {

struct Image {
  cairo_surface_t* s;
  explicit Image(const std::string& path) : s(cairo_image_surface_create_from_png(path.c_str())) {}
  ~Image() { cairo_surface_destroy(s); }
  int width() const { return cairo_image_surface_get_width(s); }
  int height() const { return cairo_image_surface_get_height(s); }
  // 0xRRGGBB of pixel (x, y).
  unsigned rgb(int x, int y) const {
    auto* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
    return reinterpret_cast<const std::uint32_t*>(row)[x] & 0xFFFFFF;
  }
};

bool Dark(unsigned c) { return ((c >> 16) & 0xFF) < 80 && ((c >> 8) & 0xFF) < 80 && (c & 0xFF) < 120; }
bool Blue(unsigned c) { return (c & 0xFF) > 180 && ((c >> 16) & 0xFF) < 80; }
bool Reddish(unsigned c) { return ((c >> 16) & 0xFF) > 200 && ((c >> 8) & 0xFF) < 230 && (c & 0xFF) < 230; }

TEST(Plot, TwoSecondStripOnEcgPaper) {
  // Flat baseline for 2 s, a 1 mV step from 1.0 s to 1.4 s, one pacing pulse at 0.5 s.
  std::vector<Point> points;
  for (int k = 0; k <= 10000; ++k) {
    double t = k * 0.0002;
    bool pulse = k >= 2500 && k < 2510;
    points.push_back({t, pulse ? 5.0 : (t >= 1.0 && t < 1.4 ? 1.0 : 0.0), pulse, k == 2500 ? 0.002 : 0.0});
  }
  std::string path = testing::TempDir() + std::to_string(getpid()) + "_strip.png";
  ASSERT_TRUE(WritePlot(path, points, "test", 0.0002));
  Image img(path);
  ASSERT_EQ(cairo_surface_status(img.s), CAIRO_STATUS_SUCCESS);
  // 2 s = 50 mm wide plus 8 mm margins (or wider, for the caption); -2..+2 mV
  // = 40 mm high plus margins and caption.
  EXPECT_GE(img.width(), (50 + 16) * 5);
  EXPECT_EQ(img.height(), (40 + 16 + 4) * 5);
  // Paper origin (8 mm, 10 mm); +2 mV at the top. Baseline (0 mV) at y = 10 + 20 mm.
  auto px = [](double mm) { return static_cast<int>(mm * 5); };
  EXPECT_TRUE(Dark(img.rgb(px(8 + 0.2 * 25), px(30)))) << std::hex << img.rgb(px(13), px(30));
  // 1 mV is 10 mm up: the step's plateau at 1.2 s, baseline no longer there.
  EXPECT_TRUE(Dark(img.rgb(px(8 + 1.2 * 25), px(20))));
  EXPECT_FALSE(Dark(img.rgb(px(8 + 1.2 * 25), px(30))));
  // The pacing spike runs to the top edge of the paper and is marked above it.
  EXPECT_TRUE(Dark(img.rgb(px(8 + 0.5 * 25), px(10.5))));
  EXPECT_TRUE(Blue(img.rgb(px(8 + 0.5 * 25), px(10 - 1.5))));
  EXPECT_FALSE(Blue(img.rgb(px(8 + 1.5 * 25), px(10 - 1.5))));
  // Grid: a 5 mm line at 15 mm across (stronger), paper between lines.
  EXPECT_TRUE(Reddish(img.rgb(px(8 + 15), px(10 + 2.5))));
  EXPECT_NE(img.rgb(px(8 + 15), px(10 + 2.5)), img.rgb(px(8 + 16), px(10 + 2.5)));
  std::remove(path.c_str());
}

TEST(Plot, LongRecordingsWrapIntoTenSecondRows) {
  std::vector<Point> points;
  for (int k = 0; k <= 25 * 500; ++k) points.push_back({k * 0.002, 0.0, false});
  std::string path = testing::TempDir() + std::to_string(getpid()) + "_rows.png";
  ASSERT_TRUE(WritePlot(path, points, "rows", 0.002));
  Image img(path);
  EXPECT_EQ(img.width(), (250 + 16) * 5);
  EXPECT_EQ(img.height(), (3 * 40 + 4 * 8 + 4) * 5);  // three rows of -2..+2 mV
  std::remove(path.c_str());
  EXPECT_FALSE(WritePlot("/nonexistent/dir/x.png", points, "x", 0.002));
}

TEST(Plot, GapsInTheStreamAreNotBridged) {
  // 0 mV until 0.4 s, nothing until 0.8 s (underruns), then 2 mV: no line
  // joins the two across the gap, and only the pulse drawn gets a mark.
  std::vector<Point> points;
  for (int k = 0; k <= 5000; ++k) {
    double t = k * 0.0002;
    if (t >= 0.4 && t < 0.8) continue;
    points.push_back({t, t < 0.4 ? 0.0 : 2.0, false});
  }
  std::string path = testing::TempDir() + std::to_string(getpid()) + "_gap.png";
  ASSERT_TRUE(WritePlot(path, points, "gap", 0.0002));
  Image img(path);
  auto px = [](double mm) { return static_cast<int>(mm * 5); };
  // -2..+2.5 mV: 0 mV 25 mm below the paper's top edge (at 10 mm), 2 mV at 5 mm.
  EXPECT_TRUE(Dark(img.rgb(px(8 + 0.2 * 25), px(10 + 25))));
  EXPECT_TRUE(Dark(img.rgb(px(8 + 0.9 * 25), px(10 + 5))));
  for (double t : {0.5, 0.6, 0.7})
    for (double y = 10; y <= 55; y += 0.2) ASSERT_FALSE(Dark(img.rgb(px(8 + t * 25), px(y)))) << t << " " << y;
  std::remove(path.c_str());
}

// Inked (not white) pixels in rows y0..y1: the rightmost one's x, -1 if none.
int RightmostInk(const Image& img, int y0, int y1) {
  int x_max = -1;
  for (int y = y0; y < y1; ++y)
    for (int x = 0; x < img.width(); ++x)
      if (img.rgb(x, y) != 0xFFFFFF) x_max = std::max(x_max, x);
  return x_max;
}

TEST(Plot, CaptionAndRowsSayWhatIsDrawn) {
  // A 1 s strip is narrower than its caption: the whole legend is on the page.
  std::vector<Point> points;
  for (int k = 0; k <= 5000; ++k) points.push_back({k * 0.0002, 0.0, false, k == 2500 ? 0.002 : 0.0});
  std::string path = testing::TempDir() + std::to_string(getpid()) + "_short.png";
  ASSERT_TRUE(WritePlot(path, points, "a long title of a short strip", 0.0002));
  {
    Image img(path);
    const int ink = RightmostInk(img, 0, 8 * 5);
    ASSERT_GT(ink, 8 * 5 + 25 * 5);          // beyond the paper
    EXPECT_LE(ink, img.width() - 1 - 5 * 5);  // and a margin after the legend
  }
  // 75 s: six rows of 10 s, each labelled under its left end; the title says
  // what is drawn (the tool also says it on stderr).
  points.clear();
  for (int k = 0; k <= 75 * 500; ++k) points.push_back({k * 0.002, 0.0, false});
  EXPECT_EQ(PlottedSeconds(points), 60.0);
  EXPECT_EQ(PlottedSeconds({}), 0.0);
  ASSERT_TRUE(WritePlot(path, points, "long", 0.002));
  Image img(path);
  EXPECT_EQ(img.height(), (6 * 40 + 7 * 8 + 4) * 5);
  for (int r = 0; r < 6; ++r) {
    const int below = (10 + r * 48 + 40) * 5;  // the row's bottom edge, in pixels
    EXPECT_GT(RightmostInk(img, below + 5, below + 4 * 5), 8 * 5) << "row " << r;
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace orna::cli
