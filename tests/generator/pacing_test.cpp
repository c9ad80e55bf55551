// Pacing pulses: set-up, timing, widths, ranges, overshoot, dual modes.
#include <climits>
#include <cmath>
#include <utility>

#include "generator/pacing_internal.h"
#include "generator_fixture.h"

using namespace gentest;
using namespace orna;

namespace {

using Runs = std::vector<std::pair<int, int>>;  // first sample, length

// Codes and flags of pacing on a 0 mV waveform (a number without a function).
std::vector<std::pair<int, int>> Pace(double pa, int packets, double t0 = 0.97) {
  g_MainOutput = 99;
  g_PA = pa;
  _SetupPacing();
  s_t = t0;
  std::vector<std::pair<int, int>> words;
  for (int n = 0; n < packets; ++n) {
    const Packet p = Build();
    for (int i = 0; i < 1500; ++i) words.push_back({Code(p, i), Flags(p, i)});
  }
  return words;
}

Runs Pulses(const std::vector<std::pair<int, int>>& w) {
  Runs runs;
  for (int i = 0; i < static_cast<int>(w.size()); ++i) {
    if (w[i].first == 2048) continue;
    if (!runs.empty() && runs.back().first + runs.back().second == i) {
      ++runs.back().second;
    } else {
      runs.push_back({i, 1});
    }
  }
  return runs;
}

struct Call {
  char kind;
  double t, v;
};
std::vector<Call> g_calls;
void Graph(double t, double v) { g_calls.push_back({'g', t, v}); }
void Pacing(double t, double v) { g_calls.push_back({'p', t, v}); }

}  // namespace

TEST_F(GeneratorTest, SetupDerivesRhythmOvershootAndRange) {
  PacingState& pacing = _PacingStateForTesting();
  const struct {
    double pa;
    int mode, rate, otc, pulses;
    double poa, pp;
    bool high;
  } cases[] = {{1.0, 0, 75, 10, 1, -0.25, 0.8, false}, {2.5, 0, 60, 0, 1, -0.625, 1.0, false},
               {3.0, 1, 300, 0, 2, -0.75, 0.2, true},  {-2.9, 2, 10, 0, 2, 0.725, 6.0, false},
               {700, 3, 60, 0, 2, -2.0, 1.0, true},    {-10, -1, 0, 0, 2, 2.0, 6.0, true}};
  for (const auto& c : cases) {
    g_PA = c.pa;
    g_PacingPulse = c.mode;
    g_PacingRate = c.rate;
    g_PacingOvershootTC = c.otc;
    pacing.s_ppc = 5;
    _SetupPacing();
    EXPECT_EQ(s_PulsesRequired, c.pulses) << c.pa;
    EXPECT_EQ(pacing.s_POA, c.poa) << c.pa;
    EXPECT_EQ(pacing.s_pp, c.pp) << c.pa;
    EXPECT_EQ(pacing.s_OTC, c.otc / 1000.0) << c.pa;
    EXPECT_EQ(s_PacingHighRange, c.high) << c.pa;
    EXPECT_EQ(pacing.s_ppc, 1000);
    EXPECT_EQ(s_PacDelayTP, 0.01);
  }
  g_PA = 0;  // off: only the pulse count and the delay change
  _SetupPacing();
  EXPECT_EQ(s_PulsesRequired, 0);
  EXPECT_EQ(s_PacDelayTP, 0.0);
  EXPECT_EQ(pacing.s_POA, 2.0);
  EXPECT_TRUE(s_PacingHighRange);
}

TEST_F(GeneratorTest, PulsesStartTwentyMillisecondsBeforeEachPeriod) {
  const auto w = Pace(1.0, 7, 0.0);  // 2.1 s
  EXPECT_EQ(Pulses(w), (Runs{{4900, 10}, {9900, 10}}));
  for (int i = 4900; i < 4910; ++i) EXPECT_EQ(w[i], std::make_pair(2448, 0)) << i;
}

TEST_F(GeneratorTest, PulseWidthInTicksEndsWithAHalfStep) {
  const struct {
    double ms;
    int samples;
    bool half;
  } cases[] = {{0.1, 1, true}, {1.5, 8, true}, {0.3, 1, false}, {3.0, 15, false}};
  for (const auto& c : cases) {
    SetUp();
    g_PacingDuration = c.ms;
    const auto w = Pace(1.0, 1);  // pulse from sample 50 (s_t = 0.98 s)
    EXPECT_EQ(Pulses(w), (Runs{{50, c.samples}})) << c.ms;
    double t = 0;
    for (int i = 0; i < 1500; ++i) {
      const bool half = c.half && i == 50 + c.samples - 1;
      EXPECT_EQ(w[i].second, half ? 0x80 : 0) << c.ms << " " << i;
      t += half ? 0.0001 : 0.0002;
    }
    EXPECT_EQ(s_tg, t) << c.ms;
  }
}

TEST_F(GeneratorTest, HighRangePulseZeroSampleAndOvershoot) {
  g_PacingOvershootTC = 10;
  const struct {
    double pa, poa;
    int code;
  } cases[] = {{2.5, -0.625, 2053}, {700, -2.0, 3448}, {-10, 2.0, 2028}};
  for (const auto& c : cases) {
    const auto w = Pace(c.pa, 1);
    for (int i = 50; i < 60; ++i) EXPECT_EQ(w[i], std::make_pair(c.code, 0x40)) << c.pa << " " << i;
    EXPECT_EQ(w[60], std::make_pair(2048, 0x40)) << c.pa;
    for (int m = 0; m < 100; ++m)  // from the full overshoot down, on the normal range
      EXPECT_EQ(w[61 + m],
                std::make_pair(NormalCode(c.poa * std::exp((-2.0 * m / 10000) / 0.01)), 0));
  }
  // Below 2.5 mV the pulse rides on the waveform, with no zero sample after it.
  auto w = Pace(2.4, 1);
  EXPECT_EQ(w[59], std::make_pair(NormalCode(2.4), 0));
  EXPECT_EQ(w[60], std::make_pair(NormalCode(-0.6), 0));
  w = Pace(2.0, 1);
  EXPECT_EQ(w[0].first, 2047);    // -0.5 mV x exp(-9.8) right after the set-up
  EXPECT_EQ(w[60].first, 1848);   // -0.5 mV
  EXPECT_EQ(w[110].first, 1974);  // -0.5 x exp(-1) mV, 10 ms later
  g_PacingOvershootTC = 0;
  EXPECT_EQ(Pulses(Pace(2.0, 1)), (Runs{{50, 10}}));
}

TEST_F(GeneratorTest, DualModesStartEachPulseTwice) {
  const std::pair<int, Runs> cases[] = {{0, {{4900, 10}}},
                                        {1, {{4150, 11}, {4900, 11}}},
                                        {2, {{3650, 11}, {4900, 11}}},
                                        {3, {{4900, 10}}}};
  for (const auto& c : cases) {
    g_PacingPulse = c.first;
    EXPECT_EQ(Pulses(Pace(1.0, 4, 0.0)), c.second) << c.first;
  }
}

TEST_F(GeneratorTest, PacingRectangleFollowsTheNextGraphPoint) {
  g_GraphCB = Graph;
  g_PacingGraphCB = Pacing;
  Pace(1.5, 1);  // pulse at sample 50, told at the start of frame 2 (sample 60)
  ASSERT_EQ(g_calls.size(), 54u);
  double tg = 0;
  for (int i = 0; i < 60; ++i) tg += 0.0002;
  const Call want[] = {
      {'g', tg, 0.0}, {'p', tg, 0.0}, {'p', tg, 1.5}, {'p', tg + 0.01, 1.5}, {'p', tg + 0.01, 0.0}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(g_calls[2 + i].kind, want[i].kind) << i;
    EXPECT_EQ(g_calls[2 + i].t, want[i].t) << i;
    EXPECT_EQ(g_calls[2 + i].v, want[i].v) << i;
  }
  EXPECT_EQ(g_calls[7].kind, 'g');
  EXPECT_FALSE(s_PacingIndicationNeeded);

  SetUp();  // without the graph callback the pacing callback is never told
  g_calls.clear();
  g_PacingGraphCB = Pacing;
  Pace(1.5, 1);
  EXPECT_TRUE(g_calls.empty());
  EXPECT_TRUE(s_PacingIndicationNeeded);
}

TEST_F(GeneratorTest, PulseStartAndTickCountOnVeryLongRuns) {
  PacingState& pacing = _PacingStateForTesting();
  g_PA = 1.0;
  g_PacingRate = 240;  // 0.25 s
  g_PacingOvershootTC = 10;
  _SetupPacing();
  s_t = 750000000.0 - 0.02;  // 3e9 pacing periods
  _CheckIfPacingPulseNeeded(0.02);
  EXPECT_TRUE(pacing._PacingPulseTriggered);
  EXPECT_EQ(pacing.s_ppc, 0);
  s_t += 0.05;
  _CheckIfPacingPulseNeeded(0.02);
  EXPECT_FALSE(pacing._PacingPulseTriggered);
  // Between pulses the tick count stops short of the integer limit.
  pacing.s_ppc = INT_MAX - 3;
  for (int i = 0; i < 4; ++i) {
    double v = 0.25;
    _GetPacingV4(v);
    EXPECT_EQ(v, 0.25);
  }
  EXPECT_GE(pacing.s_ppc, INT_MAX - 3);
}
