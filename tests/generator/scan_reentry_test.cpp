// Frequency scans, and host callbacks that call back into the library while a
// packet is built.
#include <algorithm>
#include <cmath>

#include "support/generator.h"
#include "orna.h"

using namespace orna::test;
using namespace orna;

namespace {

std::vector<double> g_freqs;
std::vector<int> g_funcs;
void RecordFreq(double f) { g_freqs.push_back(f); }
void RecordFunc(int n) { g_funcs.push_back(n); }

int g_frame;
void (*g_action)();
void AtFrame10(double, double) {
  if (g_frame++ == 10) g_action();
}

// Whether the 3 200 bytes at `p` are a packet whose frames count up from `seq`.
bool PacketAt(const unsigned char* p, int seq) {
  for (int k = 0; k < 50; ++k)
    if (p[64 * k] != 0x01 || p[64 * k + 1] != ((seq + k) & 0xFF)) return false;
  return p[322] == 0x45;
}

}  // namespace

TEST_F(GeneratorTest, ScanStepKeepsTheFractionOfTheCycle) {
  s_FreqScanOn = true;
  s_Fd = 0.001;
  s_t = 0.3;
  const Packet p = Build();
  double t = 0.3, f = 1.0, tp = 1.0;
  std::vector<int> expected;
  for (int i = 0; i < 1500; ++i) {
    expected.push_back(NormalCode(std::sin(t * 6.2831853 * f) * 0.5));
    const double q = (t + 0.0002) / tp;
    f += 0.001;
    tp = 1 / f;
    t = (q - static_cast<long long>(q)) * tp;
  }
  ExpectCodes({p}, expected);
  EXPECT_EQ(std::make_pair(g_F, s_tp), std::make_pair(f, tp));
  // Each sample adds 0.0002 s times its frequency to the cycle fraction:
  // 0.3 + 0.0002 x (1500 + 0.001 x (0 + 1 + ... + 1499)).
  EXPECT_NEAR(s_t / s_tp, 0.82485, 1e-9);

  // A step that would take the frequency below zero keeps the last period.
  g_F = f = 0.1005;
  s_tp = 1 / f;
  s_Fd = -0.001;
  Build();
  for (int i = 0; i < 100; ++i) f += -0.001;  // the last positive frequency
  EXPECT_EQ(s_tp, 1 / f);
  EXPECT_TRUE(s_t >= 0 && s_t < s_tp);
}

TEST_F(GeneratorTest, ScanEndsWhenTheRoundedFrequencyReachesAnEnd) {
  const struct {
    double f;
    bool ends;
  } cases[] = {{149.999994, false}, {149.999996, true}, {150.2, true},
               {0.670006, false},   {0.670004, true},   {0.5, true}};
  for (const auto& c : cases) {
    auto scan_at = [&] {
      SetUp();
      g_F = c.f;
      s_tp = 1 / c.f;
      s_FreqScanOn = g_FreqScan1 = true;
      s_Fd = 0;
      g_Fstart = 0.67;
      g_Ffinal = 150.0;
    };
    scan_at();
    const Packet expected = Build();  // the same packet, built without a port
    scan_at();
    PipePort port;
    s_ECGGoing = true;
    g_freqs.clear();
    g_funcs.clear();
    g_SyncFreqCB = RecordFreq;
    g_SyncMainFuncCB = RecordFunc;
    _SendNextPacket();
    const std::vector<unsigned char> wire = port.Read();
    ASSERT_GE(wire.size(), 3200u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), wire.begin())) << c.f;
    EXPECT_EQ(g_freqs, std::vector<double>{c.f});
    EXPECT_EQ(g_funcs, c.ends ? std::vector<int>{0} : std::vector<int>{}) << c.f;
    EXPECT_EQ(s_ECGGoing, !c.ends) << c.f;
    // Stopped after the last packet has gone out.
    EXPECT_EQ(wire.size() > 3200 ? wire[3200] : 0, c.ends ? 'S' : 0) << c.f;
  }
}

TEST_F(GeneratorTest, ScanEndTellsTheHostOnceForBothKinds) {
  const struct {
    bool sine, ecg;
    int output;
    double start, stop;
  } cases[] = {{false, true, 7, 0.05, 0.5}, {true, true, 1, 0.67, 150.0}};
  for (const auto& c : cases) {
    SetUp();
    PipePort port;
    g_funcs.clear();
    s_ECGGoing = true;
    g_MainOutput = c.output;
    s_FreqScanOn = true;
    g_FreqScan1 = c.sine;
    g_FreqScan3 = c.ecg;
    g_F = g_Ffinal = c.stop;
    g_Fstart = c.start;
    g_SyncMainFuncCB = RecordFunc;
    _SendNextPacket();
    EXPECT_EQ(g_funcs, std::vector<int>{0}) << c.sine;
    EXPECT_FALSE(s_ECGGoing || g_FreqScan3);
  }
  // A downward scan ends with its first packet.
  SetUp();
  PipePort port;
  g_funcs.clear();
  g_SyncMainFuncCB = RecordFunc;
  ASSERT_EQ(SetFreqScanSine(true, 10.0, 5.0, 30), 0);
  EXPECT_EQ(g_funcs, (std::vector<int>{1, 0}));
  EXPECT_FALSE(s_ECGGoing || s_FreqScanOn);
  const std::vector<unsigned char> wire = port.Read();
  ASSERT_GE(wire.size(), 3202u);
  EXPECT_TRUE(PacketAt(&wire[2], 0));  // after the range command
}

TEST_F(GeneratorTest, CallbackStopsStreamingMidPacket) {
  PipePort port;
  s_ECGGoing = true;
  s_A = 2.0;
  g_frame = 0;
  g_GraphCB = AtFrame10;
  g_action = [] { EXPECT_EQ(SetOutputFunc(0), 0); };
  const Packet p = Build();
  EXPECT_FALSE(s_ECGGoing);
  EXPECT_TRUE(PacketAt(p.data(), 0));
  double t = 0;
  for (int i = 0; i < 300; ++i) t += 0.0002;
  EXPECT_EQ(Code(p, 300), NormalCode(std::sin(t * 6.2831853) * 2.0));  // computed before the stop
  for (int i = 301; i < 1500; ++i) ASSERT_EQ(Code(p, i), 2048) << i;
  EXPECT_EQ(port.Read().front(), 'S');
}

TEST_F(GeneratorTest, CallbackRestartsStreamingInsideThePacket) {
  PipePort port;
  s_ECGGoing = true;
  g_frame = 0;
  g_GraphCB = AtFrame10;
  g_action = [] {
    EXPECT_EQ(SetOutputFunc(0), 0);
    EXPECT_EQ(SetOutputFunc(2), 0);  // a new stream sends its first packet at once
  };
  _SendNextPacket();
  EXPECT_TRUE(s_ECGGoing);
  const std::vector<unsigned char> wire = port.Read();
  ASSERT_GE(wire.size(), 6400u);
  bool nested = false;  // the new stream's first packet, whole, inside the old one
  for (size_t i = 0; i + 6400 <= wire.size(); ++i) nested = nested || PacketAt(&wire[i], 0);
  EXPECT_TRUE(nested);
  // The old packet was finished and sent last, its frame numbers running on.
  const unsigned char* outer = &wire[wire.size() - 3200];
  EXPECT_EQ(outer[322], 0x45);
  for (int k = 0; k < 50; ++k) EXPECT_EQ(outer[64 * k + 1], k <= 10 ? k : 50 + k - 11) << k;

  // A deferred switch to a function without data, taken at a cycle end.
  SetUp();
  s_ECGGoing = true;
  g_frame = 0;
  g_GraphCB = AtFrame10;
  g_F = 60.0;
  s_tp = 1 / 60.0;
  g_action = [] { EXPECT_EQ(SetOutputFunc(13), 0); };  // no waveform loaded
  const Packet p = Build();
  EXPECT_EQ(s_tp, 1.0);
  EXPECT_EQ(Code(p, 1499), 2048);
}
