// The builder's normal-range codes at and around every kind of code boundary,
// for usual and unusual full scales, against x = v / range * 2000 + 2048
// worked out here.
#include <cmath>
#include <limits>
#include <vector>

#include "generator_fixture.h"

using namespace gentest;
using namespace orna;

namespace {

int Expected(double v, double range) {
  const double x = v / range * 2000 + 2048;
  if (x > 4095) return 4095;
  if (x < 0) return 0;
  if (x != x) return 2048;
  return static_cast<int>(x);
}

// Values that land on, just below and just above whole codes, the clamp
// limits and a spread in between.
std::vector<double> Probes(double range) {
  std::vector<double> v;
  for (int code : {-3, 0, 1, 47, 48, 1000, 2047, 2048, 2049, 3333, 4047, 4048, 4094, 4095, 4096,
                   4100}) {
    const double on = (code - 2048) / 2000.0 * range;
    v.push_back(on);
    v.push_back(std::nextafter(on, -1e300));
    v.push_back(std::nextafter(on, 1e300));
    v.push_back(on + range * 1e-10);
    v.push_back(on - range * 1e-10);
  }
  for (int i = -200; i <= 200; ++i) v.push_back(i * 0.0137 * range);
  v.push_back(0.0);
  v.push_back(-0.0);
  v.push_back(1e300);
  v.push_back(-1e300);
  return v;
}

}  // namespace

TEST_F(GeneratorTest, NormalRangeCodesMatchTheDivisionAtEveryBoundary) {
  // A square with a period far longer than a packet: every sample carries s_A.
  g_MainOutput = 3;
  s_tp = 1e6;
  for (const double range : {5.0, 4.0, 3.3, 0.7, 2e-7, 3e7}) {
    s_Range = range;
    for (const double v : Probes(range)) {
      s_A = v;
      s_t = 0;
      const Packet p = Build();
      ASSERT_EQ(Code(p, 0), Expected(v, range)) << "v " << v << " range " << range;
      ASSERT_EQ(Code(p, 1499), Expected(v, range)) << "v " << v << " range " << range;
    }
  }
}

TEST_F(GeneratorTest, UnusualFullScalesAndValuesKeepTheirCodes) {
  g_MainOutput = 3;
  s_tp = 1e6;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double range, v;
    int code;
  } cases[] = {{0.0, 1.0, 4095}, {0.0, -1.0, 0},   {0.0, 0.0, 2048}, {nan, 1.0, 2048},
               {inf, 1.0, 2048}, {5.0, nan, 2048}, {5.0, inf, 4095}, {-5.0, 5.0, 48},
               {-5.0, -5.0, 4048}};
  for (const auto& c : cases) {
    s_Range = c.range;
    s_A = c.v;
    s_t = 0;
    EXPECT_EQ(Code(Build(), 0), c.code) << c.range << " " << c.v;
  }
}

TEST_F(GeneratorTest, AFullScaleChangedByACallbackTakesEffectAtTheNextSample) {
  // The range is read afresh for each sample, even when it moves inside a packet.
  g_MainOutput = 3;
  s_tp = 1e6;
  s_A = 1.0;
  s_Range = 5.0;
  // Called before the first sample of each frame is encoded: the second call
  // moves the scale for frame 1 on.
  static int calls = 0;
  g_GraphCB = [](double, double) {
    if (++calls == 2) s_Range = 4.0;
  };
  const Packet p = Build();
  EXPECT_EQ(Code(p, 0), 2448);   // 1 / 5 * 2000 + 2048
  EXPECT_EQ(Code(p, 29), 2448);
  EXPECT_EQ(Code(p, 30), 2548);  // 1 / 4 * 2000 + 2048
  EXPECT_EQ(Code(p, 1499), 2548);
}
