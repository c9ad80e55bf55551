// Test modes, reset to the defaults, and closing the connection.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "control/apply.h"
#include "control/on_instrument.h"
#include "generator/output_functions.h"
#include "generator/packet_builder.h"
#include "generator/settings.h"
#include "link/lock.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"

namespace orna::control_test {
namespace {

using ModesAndReset = OnInstrument;

std::vector<int> g_functions;
std::vector<double> g_frequencies;
void OnFunction(int n) { g_functions.push_back(n); }  // called with the library's lock held
std::vector<int> Functions() {
  LockGuard lock(s_lock);
  return g_functions;
}
void OnFrequency(double f) { g_frequencies.push_back(f); }

TEST_F(ModesAndReset, ScansStartAndEndWithTheStop) {
  RegisterSyncMainFuncCB(OnFunction);
  ASSERT_EQ(SetFreqScanSine(false, 100.0, 101.0, 10), 0);  // output 0: stored, nothing else
  EXPECT_SENT(Log{});
  ASSERT_EQ(SetFreqScanSine(true, 0.67, 150.0, 30), 0);
  EXPECT_TRUE(GetFreqScanSine() && GetFreqScanECG() && GetOutputFunc() == 1);
  {
    LockGuard lock(s_lock);
    EXPECT_EQ(s_Fd, ((150.0 - 0.67) / 30) / 5000);
    EXPECT_NEAR(s_Fd, 0.000995533333333, 1e-15);
    double f = 0.67;  // one step per sample of the first packet
    for (int i = 0; i < 1500; ++i) f += s_Fd;
    EXPECT_EQ(g_F, f);
  }
  ASSERT_EQ(SetFreqScanSine(false, 100.0, 101.0, 10), 0);
  EXPECT_FALSE(GetFreqScanSine() || GetFreqScanECG());
  Sent();
  // A stop frequency below the start: the scan ends at its first packet, which
  // the engine sends itself; the stop is not lost on the busy engine.
  ASSERT_EQ(SetFreqScanSine(true, 10.0, 5.0, 10), 0);
  EXPECT_SENT((Log{"00 05", "P0", "06", "53", "06"}));
  EXPECT_EQ(Functions(), (std::vector<int>{1, 0, 1, 0}));
  EXPECT_FALSE(GetFreqScanSine() || GetFreqScanECG());
  // 1 Hz in 10 s: 2e-5 Hz per sample, 50 000 samples: it ends with packet 34.
  ASSERT_EQ(SetFreqScanSine(true, 100.0, 101.0, 10), 0);
  Request(32);
  EXPECT_TRUE(GetFreqScanSine());
  Request(1);
  EXPECT_EQ(Functions(), (std::vector<int>{1, 0, 1, 0, 1, 0}));
  EXPECT_FALSE(GetFreqScanSine() || GetFreqScanECG());
  auto log = Sent();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(Log(log.end() - 2, log.end()), (Log{"53", "06"}));
  // The ECG scan: 0.05 to 0.5 Hz at 3e-6 Hz per sample, 100 packets.
  ASSERT_EQ(SetFreqScanECG(true), 0);
  EXPECT_TRUE(!GetFreqScanSine() && GetFreqScanECG() && GetOutputFunc() == 7);
  EXPECT_EQ(GetFreqScanSineStartFreq(), 0.05);
  EXPECT_EQ(GetFreqScanSineStopFreq(), 0.5);
  Request(98);
  EXPECT_TRUE(GetFreqScanECG());
  Request(1);
  EXPECT_FALSE(GetFreqScanECG());
  EXPECT_EQ(Sent().back(), "06");
  ASSERT_EQ(SetFreqScanECG(false), 0);  // off reports output 0 even when already off
  EXPECT_EQ(Functions(), (std::vector<int>{1, 0, 1, 0, 1, 0, 7, 0, 0}));
}

TEST_F(ModesAndReset, BaselineResetTest) {
  RegisterSyncFreqCB(OnFrequency);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  Sent();
  ASSERT_EQ(SetBaselineResetTest(2), 0);
  EXPECT_SENT((Log{"00 05", "07 00 00 21 00 00", "05 80 00"}));
  EXPECT_EQ(g_frequencies, std::vector<double>{60.0});
  EXPECT_EQ(GetFrequency(), 60.0);
  EXPECT_EQ(GetAmplitude(), 1.0);
  {
    LockGuard lock(s_lock);
    EXPECT_EQ(s_tp, 1 / 60.0);
    EXPECT_EQ(s_A, 2.5);
  }
  Request(1);  // every sample word carries the range flag
  const auto p = vi.packets().back();
  for (int i = 0; i < 1500; ++i) ASSERT_EQ(p[(i / 30) * 64 + 4 + 2 * (i % 30)] & 0xF0, 0x40) << i;
  ASSERT_EQ(SetBaselineResetTest(7), 0);  // no frequency of its own
  EXPECT_EQ(GetFrequency(), 60.0);
  EXPECT_EQ(GetBaselineResetTest(), 7);
  EXPECT_SENT((Log{"P50", "00 05", "05 80 00"}));
  // Mode 0 clears the offset and applies at once, also while streaming ...
  ASSERT_EQ(SetBaselineResetTest(0), 0);
  EXPECT_SENT((Log{"06", "00 05", "07 00 00 20 00 00", "06"}));
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  ASSERT_EQ(SetBaselineResetTest(0), 0);  // ... and with no test active
  EXPECT_SENT((Log{"53", "06", "06", "06"}));
  // In variable mode the instrument's offset must be programmed again after
  // the reset command replaced it or the clear command cleared it.
  ASSERT_EQ(SetDCOffsetVariableMode(true), 0);
  ASSERT_EQ(SetDCOffset(100), 0);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_EQ(SetBaselineResetTest(1), 0);
  Sent();
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  EXPECT_SENT((Log{"53", "00 05", "05 08 C8"}));
  ASSERT_EQ(SetBaselineResetTest(0), 0);
  EXPECT_SENT((Log{"06", "00 05", "05 08 C8"}));
}

TEST_F(ModesAndReset, BaselineResetTestOutlivesOtherChanges) {
  for (bool variable : {false, true}) {
    ASSERT_EQ(SetDCOffsetVariableMode(variable), 0);
    ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
    ASSERT_EQ(SetBaselineResetTest(1), 0);
    Sent();
    // Applied at the next cycle end (50 Hz: inside the next packet), without
    // an offset command that would end the test on the instrument.
    ASSERT_EQ(SetQRSDuration(120), 0);
    ASSERT_EQ(SetDCOffset(200), 0);
    Request(1);
    // In fixed mode the offset is made by relays, and the relay word changes.
    const Log fixed{"00 05", "07 00 00 25 00 00", "P50"}, in_variable{"00 05", "P50"};
    EXPECT_EQ(Sent(), variable ? in_variable : fixed);
    EXPECT_EQ(GetBaselineResetTest(), 1);
    {
      LockGuard lock(s_lock);
      EXPECT_EQ(s_A, 2.5);
      EXPECT_EQ(s_tp, 1 / 50.0);
    }
    // The peak of the 2.5 mV sine on the 5 mV full scale, with the range flag.
    const auto& p = packets.back();
    EXPECT_EQ(p[(12 / 30) * 64 + 4 + 2 * 12] & 0xF0, 0x40);
    int peak = 0;
    for (int i = 0; i < 1500; ++i) peak = std::max(peak, Code(p, i));
    EXPECT_NEAR(peak, 3048, 1);
    ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
    Sent();
  }
}

TEST_F(ModesAndReset, ResetStopsFirstAndVisitsEverySettingInOrder) {
  ASSERT_EQ(SetPacingAmplitude(1.0), 0);
  ASSERT_EQ(SetOutputFunc(OutputFuncCalECG), 0);
  ASSERT_EQ(SetAmplitude(2.0), 0);
  ASSERT_EQ(SetTWave(0.2000001), 0);
  ASSERT_EQ(SetECG2_27_AAMIDriftTest(true), 0);
  ASSERT_EQ(SetECG2_27_Noise(1, 0.1), 0);
  Sent();
  // Pacing was set up by the last run with an output: only the stop goes out.
  EXPECT_EQ(ResetORNA(), 0);
  EXPECT_SENT((Log{"53"}));
  EXPECT_TRUE(GetAmplitude() == kDefaultAmplitude && GetTWave() == kDefaultT &&
              GetPacingAmplitude() == kDefaultPA);
  EXPECT_EQ(GetECG2_27_NoiseFreq(), 0);
  EXPECT_TRUE(GetECG2_27_AAMIDriftTest());  // not visited
  ASSERT_EQ(SetFreqScanSine(false, 1.0, 2.0, 11), 0);
  ASSERT_EQ(SetSpecialWave227(4), 0);
  ASSERT_EQ(SetOutputFunc(OutputFuncSquare), 0);  // deferred: output 8 streams
  ASSERT_EQ(SetDynamicRangeTest(true, 2.0, 20.0), 0);
  ASSERT_EQ(SetDCOffsetVariableMode(true), 0);
  ASSERT_EQ(SetDCOffset(-700), 0);
  const int changed[] = {SetFrequency(2.0), SetDCOffsetCommoneMode(true), SetPulseWidth(20.0),
      SetInputImpedanceMode(false), SetPacingPulseMode(2), SetQRSDuration(60.0),
      SetPacingDuration(0.5), SetPacingRate(61), SetOvershootTimeConstant(9),
      SetOutputLead(3, true), SetOutputLead(8, true), SetOutputLead(0, false)};
  for (int r : changed) ASSERT_EQ(r, 0);
  Sent();
  EXPECT_EQ(ResetORNA(), 0);
  // The stop (variable mode first programs -700 mV), then every change applied
  // at once as it is made; the leads in the order 0, 3, 8.
  EXPECT_SENT((Log{"53", "00 05", "05 02 89", "00 05", "00 05", "05 08 00", "07 00 42 02 00 00",
                   "06", "06", "07 00 42 00 00 00", "06", "06", "06", "06", "06",
                   "07 00 42 20 00 00", "07 00 40 20 00 00", "07 00 00 20 00 00", "06"}));
  EXPECT_EQ(GetSpecialWave227(), 4);  // not visited
  EXPECT_TRUE(GetFreqScanSineStartFreq() == kDefaultFstart &&
              GetFreqScanSineDuration() == kDefaultFduration);
  EXPECT_TRUE(!GetDynamicRangeTest() && GetDCOffset() == kDefaultDCSetting &&
              GetPulseWidth() == kDefaultPulseWidth);
}

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

TEST_F(ModesAndReset, CloseResetsSaysGoodbyeAndEndsTheThread) {
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_EQ(SetTWave(1.0), 0);
  Sent();
  EXPECT_EQ(CloseORNA(), -1);
  EXPECT_FALSE(_ReceiveThreadRunning());  // ended and waited for
  EXPECT_EQ(g_hFile.load(), -1);
  EXPECT_SENT((Log{"53", "06", "06", "43"}));
  EXPECT_EQ(SetAmplitude(2.0), -1);
  vi.send_next_request();
  EXPECT_EQ(CloseORNA(), -1);  // no connection: nothing sent
  EXPECT_SENT(Log{});
}

std::atomic<int> g_closed{0};
void CloseOnce(double, double) {
  if (g_closed.load() == 0) g_closed = CloseORNA() == -1 ? 1 : 2;
}
void CloseOnceFromFrequency(double) { CloseOnce(0, 0); }

TEST_F(ModesAndReset, CloseFromACallbackOnTheReceiveThread) {
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  Sent();
  const int with_link = ThreadCount();
  RegisterTimeAmpCB(CloseOnce);
  vi.send_next_request();
  for (int i = 0; i < 300 && g_closed.load() == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(g_closed.load(), 1);
  EXPECT_SENT((Log{"53", "06", "43"}));  // the packet being built is not written
  for (int i = 0; i < 100 && ThreadCount() == with_link; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ThreadCount(), with_link - 1);
}

TEST_F(ModesAndReset, CloseFromACallbackOnTheHostThread) {
  ASSERT_EQ(SetFrequency(10.0), 0);
  Sent();
  RegisterSyncFreqCB(CloseOnceFromFrequency);
  // The engine lowers the frequency for output 4 and reports it inside its run.
  ASSERT_EQ(SetOutputFunc(OutputFuncPulse), 0);
  ASSERT_EQ(g_closed.load(), 1);
  EXPECT_SENT((Log{"43"}));  // the reset's setters found the engine busy
  EXPECT_EQ(g_hFile.load(), -1);
  EXPECT_EQ(GetOutputFunc(), 0);
  LockGuard lock(s_lock);
  EXPECT_FALSE(s_ECGGoing);  // the stop selected meanwhile is not lost
}

}  // namespace
}  // namespace orna::control_test
