// Packet layout, sample encoding, timebase, graph callback, end-of-cycle change.
#include <cmath>
#include <limits>
#include <utility>

#include "support/generator.h"

using namespace orna::test;
using namespace orna;

namespace {

std::vector<std::pair<double, double>> g_graph;
void RecordGraph(double t, double v) { g_graph.emplace_back(t, v); }

std::vector<bool> g_pending;
void RecordPending(double, double) { g_pending.push_back(s_ChangeOnNextCycle); }

int Encode(double v, bool high, bool range_flag, bool half) {
  unsigned char out[2];
  _EncodeSample(v, high, range_flag, half, out);
  return out[0] << 8 | out[1];
}

}  // namespace

TEST_F(GeneratorTest, FrameHeadersAndSequenceNumbersAcrossSixPackets) {
  s_A = 5.2;  // clamped samples of both signs around the header bytes
  for (int n = 0; n < 6; ++n) {
    const Packet p = Build();
    for (int k = 0; k < 50; ++k) {
      const unsigned char* f = p.data() + 64 * k;
      ASSERT_EQ(f[0], 0x01);
      ASSERT_EQ(f[1], (50 * n + k) % 256) << n << "/" << k;  // the sixth: 250..255, 0..43
      ASSERT_EQ(f[2], k == 5 ? 0x45 : 0x00);
      ASSERT_EQ(f[3], 0x00);
    }
  }
  EXPECT_EQ(s_SeqCheck, 44);
}

TEST_F(GeneratorTest, SampleEncodingEdges) {
  const struct {
    double v;
    bool high, range_flag, half;
    int word;
  } cases[] = {
      {0, 0, 0, 0, 0x0800},
      {5.0, 0, 0, 0, 0x0FD0},
      {-5.0, 0, 0, 0, 0x0030},
      {10.0, 0, 0, 0, 0x0FFF},
      {-10.0, 0, 0, 0, 0x0000},
      {5.1175, 0, 0, 0, 0x0FFF},
      {-5.12, 0, 0, 0, 0x0000},
      {-0.0001, 0, 0, 0, 0x07FF},  // 2047.96 truncates
      {5.0, 1, 0, 0, 0x480A},
      {700.0, 1, 0, 0, 0x4D78},
      {-10.0, 1, 0, 0, 0x47EC},
      {1024.0, 1, 0, 0, 0x4FFF},
      {-1025.0, 1, 0, 0, 0x4000},
      {0, 0, 1, 0, 0x4800},
      {0, 0, 0, 1, 0x8800},
      {-5.0, 0, 1, 1, 0xC030},
      {std::numeric_limits<double>::quiet_NaN(), 0, 0, 0, 0x0800},  // sent as 0 mV
  };
  for (const auto& c : cases) EXPECT_EQ(Encode(c.v, c.high, c.range_flag, c.half), c.word) << c.v;
  s_Range = 4.0;
  EXPECT_EQ(Encode(4.0, false, false, false), 0x0FD0);
  s_Range = 0.0;  // no range yet: no trap, the sign decides
  EXPECT_EQ(Encode(0.0, false, false, false), 0x0800);
  EXPECT_EQ(Encode(1.0, false, false, false), 0x0FFF);
  EXPECT_EQ(Encode(-1.0, false, false, false), 0x0000);
}

TEST_F(GeneratorTest, BaselineOverloadFlagsEveryWordAndHalfStepAddsItsBit) {
  g_BaseLineOverload = 2;
  s_A = 2.5;
  s_t = 0.9;
  g_PA = 1.0;
  g_PacingDuration = 0.1;  // one half-step sample at s_t = 0.98 s: sample 400
  _SetupPacing();
  const Packet p = Build();
  for (int i = 0; i < 1500; ++i) ASSERT_EQ(Flags(p, i), i == 400 ? 0xC0 : 0x40) << i;
}

TEST_F(GeneratorTest, GraphCallbackEverySixMillisecondsAndPacketUnchanged) {
  const Packet without = Build();
  SetUp();
  RegisterTimeAmpCB(RecordGraph);
  EXPECT_EQ(Build(), without);
  ASSERT_EQ(g_graph.size(), 50u);
  double t = 0;
  for (int i = 0; i < 1500; t += 0.0002, ++i) {
    if (i % 30) continue;
    EXPECT_EQ(g_graph[i / 30].first, t) << i;
    EXPECT_EQ(g_graph[i / 30].second, std::sin(t * 6.2831853 * 1.0) * 0.5) << i;
  }
  EXPECT_EQ(s_tg, t);  // 1 500 steps of 0.0002 s
  EXPECT_EQ(s_t, t);
  RegisterTimeAmpCB(nullptr);
  Build();
  EXPECT_EQ(g_graph.size(), 50u);

  auto freq = [](double) {};
  auto func = [](int) {};
  RegisterPacingTimeAmpCB(RecordGraph);
  RegisterSyncFreqCB(freq);
  RegisterSyncMainFuncCB(func);
  EXPECT_EQ(g_PacingGraphCB, &RecordGraph);
  EXPECT_EQ(g_SyncFreqCB, static_cast<ORNA_SyncFreqCB>(freq));
  EXPECT_EQ(g_SyncMainFuncCB, static_cast<ORNA_SyncMainFuncCB>(func));
}

TEST_F(GeneratorTest, NumbersWithoutAFunctionSendZero) {
  for (int n : {0, 14, -1, 1000}) {
    g_MainOutput = n;
    const Packet p = Build();
    for (int i = 0; i < 1500; ++i) ASSERT_EQ(Code(p, i), 2048) << n << " " << i;
  }
}

TEST_F(GeneratorTest, PhaseKeepsTheTruncatedFormAndSurvivesLongRuns) {
  for (double tp : {1.0, 1 / 3.0, 0.002, 20.0, 59.834722222222226})
    for (double t = 0; t < 5000.0; t = t * 1.37 + 0.00031)
      ASSERT_EQ(_Phase(t, tp), t - tp * static_cast<int>(t / tp)) << t << " " << tp;
  EXPECT_EQ(_Phase(750000000.125, 0.25), 0.125);  // 3e9 periods
  EXPECT_EQ(_Phase(4294967296.25, 0.5), 0.25);    // 2^33 periods
  EXPECT_NEAR(_Phase(5000000.001, 0.002), 0.001, 1e-8);
  EXPECT_EQ(_Phase(0.3, 0.0), 0.0);
  EXPECT_EQ(_Phase(0.3, std::numeric_limits<double>::quiet_NaN()), 0.0);
  EXPECT_EQ(_Phase(0.3, std::numeric_limits<double>::infinity()), 0.3);

  g_MainOutput = 3;  // a whole square-wave packet 2^33 periods into the run
  s_tp = 0.5;
  s_t = 4294967296.0;
  const Packet p = Build();
  ExpectCodes({p}, ExpectedCodes(4294967296.0, 0.5, 1500,
                                 [](double h, double) { return h < 0.25 ? 0.5 : -0.5; }));
}

TEST_F(GeneratorTest, DeferredChangeIsTakenAtTheLastSamplesOfTheCycle) {
  s_ECGGoing = true;
  g_F = 4.9;
  s_tp = 1 / 4.9;
  g_Amplitude = 2.0;  // stored by a setter, applied at the end of the cycle
  s_ChangeOnNextCycle = true;
  const Packet p = Build();
  // The cycle ends at sample 1019 (h = 0.2038 s, 0.00028 s before the end);
  // the engine restarts time at 0 with the new amplitude.
  std::vector<int> expected = ExpectedCodes(
      0, 1, 1020, [](double, double t) { return std::sin(t * 6.2831853 * 4.9) * 0.5; });
  const std::vector<int> after = ExpectedCodes(
      0, 1, 480, [](double, double t) { return std::sin(t * 6.2831853 * 4.9) * 1.0; });
  expected.insert(expected.end(), after.begin(), after.end());
  ExpectCodes({p}, expected);
  EXPECT_FALSE(s_ChangeOnNextCycle);

  // While the engine runs the request is dropped. 0.00621 s: h = 0.0058
  // (sample 29) is 0.00041 s from the end, h = 0.006 (sample 30, after its
  // frame's callback) is close enough. Below 0.15 Hz it is taken at once.
  _ChangeInProcess = true;
  g_GraphCB = RecordPending;
  const struct {
    double tp, f;
    std::vector<bool> frames;
  } cases[] = {{0.00619, 1.0, {true, false}},
               {0.00621, 1.0, {true, true, false}},
               {10.0, 0.1, {true, false}},
               {1 / 0.15, 0.15, {true, true, true}}};
  for (const auto& c : cases) {
    g_pending.clear();
    s_t = 0;
    s_tp = c.tp;
    g_F = c.f;
    s_ChangeOnNextCycle = true;
    Build();
    EXPECT_EQ(std::vector<bool>(g_pending.begin(), g_pending.begin() + c.frames.size()), c.frames)
        << c.tp;
  }
}
