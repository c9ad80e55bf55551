// Normal-range sample codes: x = v / range * 2000 + 2048, the division first,
// clamped to 0..4095 and truncated. The expected codes below were worked out
// beforehand, each case chosen so that one likely slip changes it: rounding
// instead of truncating, multiplying before dividing, a clamp one code off.
#include <cmath>
#include <limits>

#include "support/generator.h"
#include "support/instrument.h"

using namespace orna;
using namespace orna::test;

namespace {

struct Case {
  double range, v;
  int code;
};

// Every sample of the packet carries v: a square whose period is far longer
// than a packet.
void ExpectEverySample(const Case& c) {
  g_MainOutput = 3;
  s_tp = 1e6;
  s_Range = c.range;
  s_A = c.v;
  s_t = 0;
  const Packet p = Build();
  EXPECT_EQ(Code(p, 0), c.code) << "v " << c.v << " range " << c.range;
  EXPECT_EQ(Code(p, 1499), c.code) << "v " << c.v << " range " << c.range;
}

}  // namespace

TEST_F(GeneratorTest, NormalRangeCodesAtTheBoundaries) {
  const Case cases[] = {
      // Zero and the full scale, both ways; twice the full scale clamps.
      {5.0, 0.0, 2048}, {5.0, -0.0, 2048}, {5.0, 5.0, 4048}, {5.0, -5.0, 48},
      {5.0, 10.0, 4095}, {5.0, -10.0, 0},
      // The clamps: x = 4095 exactly, 4095.04, 4096; x = 0 exactly, -0.04, -352.
      {5.0, 5.1175, 4095}, {5.0, 5.1176, 4095}, {5.0, 5.12, 4095},
      {5.0, -5.12, 0}, {5.0, -5.1201, 0}, {5.0, -6.0, 0},
      // Truncated, not rounded: x = 2049.6 and 2046.4.
      {5.0, 0.004, 2049}, {5.0, -0.004, 2046},
      // x = 3049 exactly, and the next double below it truncates to 3048.
      {5.0, 2.5024999999999995, 3049}, {5.0, std::nextafter(2.5024999999999995, 0.0), 3048},
      // Values at which v * 2000 / range would give a neighbouring code.
      {5.0, 2.037499999999999, 2863}, {5.0, -5.0175, 40}, {5.0, -4.9975000000000005, 49},
      {3.3, -3.3099, 41}, {3.3, 1.1450999999999996, 2742}, {0.7, -0.7, 48},
      {0.7, 0.2579499999999999, 2785},
      // Unusual full scales: x = 2654.06, 1441.94, 2588.54, 3048, ...
      {3.3, 1.0, 2654}, {3.3, -1.0, 1441}, {3.7, 1.0, 2588}, {0.7, 0.35, 3048},
      {2e-7, 1e-7, 3048}, {2e-7, -2e-7, 48}, {3e7, 1.5e7, 3048}, {3e7, -3e7, 48},
      {3e7, 14999.0, 2048},  // x = 2048.99993
  };
  for (const Case& c : cases) ExpectEverySample(c);
}

TEST_F(GeneratorTest, UnusualFullScalesAndValuesKeepTheirCodes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {{0.0, 1.0, 4095}, {0.0, -1.0, 0},   {0.0, 0.0, 2048}, {nan, 1.0, 2048},
                        {inf, 1.0, 2048}, {5.0, nan, 2048}, {5.0, inf, 4095}, {-5.0, 5.0, 48},
                        {-5.0, -5.0, 4048}};
  for (const Case& c : cases) ExpectEverySample(c);
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

// The words as the instrument receives them: a 2 Hz square of 10 mV peak to
// peak, +5 mV for 0.25 s and -5 mV after; first on the 5 mV full scale, then
// on a 2.5 mV one set by the host, where it clamps both ways.
TEST_F(OnInstrument, SampleWordsOnTheWire) {
  ASSERT_EQ(SetAmplitude(10.0), 0);
  ASSERT_EQ(SetFrequency(2.0), 0);
  ASSERT_EQ(SetOutputFunc(3), 0);
  ASSERT_TRUE(vi.wait_for_packets(1, std::chrono::seconds(3)));
  Sent();
  ASSERT_EQ(packets.size(), 1u);
  auto word = [&](int i) { return emu::Bytes(&packets[0][WordOffset(i)], &packets[0][WordOffset(i)] + 2); };
  EXPECT_EQ(word(0), (emu::Bytes{0x0F, 0xD0}));
  EXPECT_EQ(word(1248), (emu::Bytes{0x0F, 0xD0}));
  EXPECT_EQ(word(1252), (emu::Bytes{0x00, 0x30}));
  EXPECT_EQ(word(1499), (emu::Bytes{0x00, 0x30}));

  ASSERT_EQ(SetOutputFunc(0), 0);
  g_RangeV4Ch2Off = 2.5;
  ASSERT_EQ(SetOutputFunc(3), 0);
  ASSERT_TRUE(vi.wait_for_packets(1, std::chrono::seconds(3)));
  Sent();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(word(0), (emu::Bytes{0x0F, 0xFF}));
  EXPECT_EQ(word(1248), (emu::Bytes{0x0F, 0xFF}));
  EXPECT_EQ(word(1252), (emu::Bytes{0x00, 0x00}));
  EXPECT_EQ(packets[0][322], 0x45);
  g_RangeV4Ch2Off = 5.0;
}
