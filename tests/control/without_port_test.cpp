// Control without an open port: refusals, the table selectors that need no
// port, the relay word, and what the apply engine limits and derives.
#include <gtest/gtest.h>

#include <vector>

#include "control/apply.h"
#include "control/relays.h"
#include "data/iec_tables.h"
#include "generator/output_functions.h"
#include "generator/pacing.h"
#include "generator/packet_builder.h"
#include "generator/settings.h"
#include "link/lock.h"
#include "orna.h"

namespace {

using namespace orna;

template <typename... T>
std::vector<double> Doubles(T... x) {
  return {static_cast<double>(x)...};
}

std::vector<double> Settings() {
  std::vector<double> v = Doubles(GetOutputFunc(), GetSpecialWave227(), GetAmplitude(), GetFrequency(),
      GetDCOffset(), GetDCOffsetVariableMode(), GetDCOffsetCommoneMode(), GetPulseWidth(),
      GetInputImpedanceMode(), GetPacingPulseMode(), GetQRSDuration(), GetTWave(),
      GetPacingAmplitude(), GetPacingDuration(), GetPacingRate(), GetOvershootTimeConstant(),
      GetBaselineResetTest(), GetECG2_27_NoiseFreq(), GetECG2_27_NoiseAmp(),
      GetECG2_27_AAMIDriftTest(), GetDynamicRangeTest(), GetDynamicRangeTestAmp(),
      GetDynamicRangeTestFreq(), GetFreqScanSine(), GetFreqScanECG(), GetFreqScanSineStartFreq(),
      GetFreqScanSineStopFreq(), GetFreqScanSineDuration());
  for (int lead = -1; lead <= 32; ++lead) v.push_back(GetOutputLead(lead));
  return v;
}

// The load-time defaults written out once more, as the host sees them right
// after load: the library's own constants are checked against these, not
// taken for granted.
std::vector<double> Defaults() {
  std::vector<double> v = {0, 0, 1.0, 1.0, 0, 0, 0, 100.0, 1, 0, 100.0, 0.2, 0.0, 2.0, 60, 0,
                           0, 0, 0.1, 0, 0, 1.0, 40.0, 0, 0, 0.67, 150.0, 30, 0, 1};
  v.resize(v.size() + 32, 0);  // leads 1 to 32 off
  return v;
}

TEST(WithoutPort, EverySetterRefusesAndStoresNothing) {
  EXPECT_EQ(Settings(), Defaults());
  const int results[] = {SetOutputFunc(1), SetAmplitude(2.0), SetAmplitude(99.0),
      SetFrequency(2.0), SetDCOffset(100), SetDCOffsetVariableMode(true), SetPulseWidth(50.0),
      SetQRSDuration(50.0), SetTWave(0.5), SetPacingAmplitude(5.0), SetPacingDuration(1.0),
      SetPacingRate(100), SetPacingPulseMode(1), SetOvershootTimeConstant(10),
      SetOutputLead(0, false), SetOutputLead(3, true), SetInputImpedanceMode(false),
      SetDCOffsetCommoneMode(true), SetFreqScanSine(true, 1.0, 100.0, 20), SetFreqScanECG(true),
      SetECG2_27_Noise(0, 0.2), SetECG2_27_AAMIDriftTest(true), SetDynamicRangeTest(false, 2, 20),
      SetBaselineResetTest(0), CloseORNA()};
  for (int r : results) EXPECT_EQ(r, -1);
  EXPECT_EQ(ResetORNA(), 0);  // nothing to do in its last step
  EXPECT_EQ(Settings(), Defaults());
  LockGuard lock(s_lock);
  EXPECT_FALSE(s_ECGGoing);
  EXPECT_EQ(s_K, 0);  // no relay update ran
  g_Fduration = 31;
  EXPECT_EQ(ResetORNA(), -1);  // the result of its last setter
}

TEST(WithoutPort, TableSelectorsStreamWithoutAPort) {
  // Indexes outside the tables are refused and change nothing.
  for (int bad : {10, -1, -2147483647 - 1}) EXPECT_EQ(SetSpecialWave227(bad), -2);
  EXPECT_EQ(SetSpecialWave251(6), -2);
  EXPECT_EQ(Settings(), Defaults());
  ASSERT_EQ(SetSpecialWave227(3), 0);
  EXPECT_EQ(GetOutputFunc(), 8);
  EXPECT_EQ(GetSpecialWave251(), 3);
  {
    LockGuard lock(s_lock);
    EXPECT_TRUE(s_ECGGoing);  // entered although nothing can be written
    EXPECT_EQ(s_K, 0x0020);   // recorded though never sent
    EXPECT_EQ(s_tp, IEC227WL[3]);
    EXPECT_EQ(s_SeqCheck, 50);  // the first packet was built
  }
  EXPECT_EQ(ResetORNA(), 0);  // its SetOutputFunc(0) needs a port
  EXPECT_EQ(GetOutputFunc(), 8);
  ASSERT_EQ(SetSpecialWave251(5), 0);
  EXPECT_EQ(SetSpecialWave227(10), -2);
  EXPECT_EQ(GetOutputFunc(), 9);
  EXPECT_EQ(GetSpecialWave227(), 5);
  LockGuard lock(s_lock);
  EXPECT_EQ(s_tp, 1.0);
  EXPECT_EQ(s_SeqCheck, 50);  // streaming went on: no second first packet
}

TEST(RelayWord, TypicalSettings) {
  struct Case {
    bool impedance, variable, common, streaming;
    int offset, leads, pulses, baseline;
    bool high;
    std::uint32_t word;
  };
  const Case cases[] = {
      {true, false, false, false, 0, 1, 0, 0, true, 0x0020},       // defaults
      {false, false, false, false, 0, 1, 0, 0, true, 0x0022},      // impedance off
      {true, false, true, false, 300, 1, 0, 0, true, 0x003C},      // fixed +300, common
      {true, false, false, false, -300, 1, 0, 0, true, 0x0024},    // fixed -300
      {true, false, true, false, 100, 1, 0, 0, true, 0x002C},      // fixed 100, common
      {true, false, true, false, 0, 1, 0, 0, true, 0x0020},        // common without offset
      {true, true, true, false, 300, 1, 0, 0, true, 0x0021},       // variable
      {true, false, false, false, 0, 0x1FF, 0, 0, true, 0x7F60},   // all nine leads
      {true, false, false, false, 0, 0x100, 0, 0, true, 0x4000},   // lead 8 alone
      {true, false, false, false, 0, ~0x1FF, 0, 0, true, 0x0000},  // bits above 8 ignored
      {false, false, true, true, 300, 1, 1, 0, true, 0x0021},      // pacing, high range
      {false, false, false, true, 300, 1, 2, 0, false, 0x0020},    // pacing, low range
      {false, false, false, false, 300, 1, 1, 0, true, 0x0036},    // pacing set up, idle
      {true, false, false, true, 0, 1, 0, 3, true, 0x0021},        // baseline test
      {true, false, false, false, 0, 1, 0, 3, true, 0x0020},       // baseline test, idle
      {true, false, false, true, 0, 0x3, 1, 1, false, 0x0061},     // baseline over pacing
  };
  LockGuard lock(s_lock);
  for (const auto& c : cases) {
    g_InputImpedance = c.impedance, g_DCVariable = c.variable, g_DCCommon = c.common;
    s_ECGGoing = c.streaming, g_DCSetting = c.offset, g_OutputLead = c.leads;
    s_PulsesRequired = c.pulses, g_BaseLineOverload = c.baseline, s_PacingHighRange = c.high;
    EXPECT_EQ(_RelayWord(), c.word) << &c - cases;
  }
}

std::vector<double> g_reported;
void OnFreq(double f) { g_reported.push_back(f); }

// One run of the engine; returns {g_Amplitude, s_A, g_F}.
std::vector<double> Apply(int output, double amplitude, double f, double pacing = 0.0,
                          double overlay = -1) {
  LockGuard lock(s_lock);
  g_MainOutput = output, g_Amplitude = amplitude, g_F = f, g_PA = pacing;
  g_DynamicRangeTest = overlay >= 0, g_ADynamicRange = overlay;
  _Change();
  return {g_Amplitude, s_A, g_F};
}

TEST(ApplyEngine, LimitsPerOutputFunction) {
  RegisterSyncFreqCB(OnFreq);
  using V = std::vector<double>;
  EXPECT_EQ(Apply(4, 1.0, 10.0), (V{1.0, 0.5, 3.0}));
  EXPECT_EQ(g_reported, V{3.0});
  EXPECT_EQ(s_tp, 1 / 3.0);
  EXPECT_EQ(Apply(1, 2.0, 500.0), (V{2.0, 1.0, 500.0}));  // at the limit: no report
  EXPECT_EQ(Apply(5, 1.0, 3.0), (V{1.0, 0.5, 3.0}));
  EXPECT_EQ(Apply(6, -3.0, 3.0000001), (V{-3.0, -3.0, 3.0}));
  EXPECT_EQ(Apply(7, 8.0, 6.5), (V{5.714, 5.714, 6.0}));
  EXPECT_EQ(Apply(42, 1.0, 501.0), (V{1.0, 0.5, 500.0}));  // no function: general limit
  EXPECT_EQ(g_reported, (V{3.0, 3.0, 6.0, 500.0}));
  // Output 12 forces its shape without a report.
  EXPECT_EQ(Apply(12, 3.0, 400.0), (V{3.0, 1.5, 1.0}));
  EXPECT_EQ(GetPulseWidth(), 50.0);
  EXPECT_EQ(g_reported.size(), 4u);
  // The calibration ECG: at most 5.714 mV, 2.5 mV with pacing, positive when limited.
  EXPECT_EQ(Apply(7, -8.0, 1.0), (V{5.714, 5.714, 1.0}));
  EXPECT_EQ(Apply(7, 5.714, 1.0), (V{5.714, 5.714, 1.0}));
  EXPECT_EQ(Apply(7, 5.716, 1.0), (V{5.714, 5.714, 1.0}));
  EXPECT_EQ(Apply(7, -5.0, 1.0), (V{-5.0, -5.0, 1.0}));
  EXPECT_EQ(Apply(7, 3.0, 1.0, 1.0), (V{2.5, 2.5, 1.0}));
  EXPECT_EQ(Apply(7, 8.0, 1.0, 1.0), (V{2.5, 2.5, 1.0}));
  EXPECT_EQ(Apply(7, -2.6, 1.0, -1.0), (V{2.5, 2.5, 1.0}));
  EXPECT_EQ(Apply(7, 2.5, 1.0, 1.0), (V{2.5, 2.5, 1.0}));
  EXPECT_EQ(Apply(7, -2.0, 1.0, 1.0), (V{-2.0, -2.0, 1.0}));
  // Dynamic range: working amplitude plus half the overlay within 5 mV, and
  // twice the working amplitude rounded to 0.01 mV (876.5 rounds up; 1.245 is
  // stored a hair low, so 875.4999... rounds down).
  EXPECT_EQ(Apply(2, 9.0, 1.0, 0, 2.0), (V{8.0, 4.0, 1.0}));
  EXPECT_EQ(Apply(3, 9.0, 1.0, 0, 3.3), (V{6.7, 5.0 - 3.3 * 0.5, 1.0}));
  EXPECT_EQ(Apply(2, 8.0, 1.0, 0, 2.0), (V{8.0, 4.0, 1.0}));
  EXPECT_EQ(Apply(3, -10.0, 1.0, 0, 2.0), (V{-10.0, -5.0, 1.0}));
  EXPECT_EQ(Apply(2, 9.0, 1.0, 0, 1.235), (V{8.77, 5.0 - 1.235 * 0.5, 1.0}));
  EXPECT_EQ(Apply(3, 9.0, 1.0, 0, 1.245), (V{8.75, 5.0 - 1.245 * 0.5, 1.0}));
}

TEST(ApplyEngine, RestartDerivesTheWorkingValues) {
  {
    LockGuard lock(s_lock);
    g_MainsNoiseAmp = 0.15, g_PulseWidth = 30.0, g_QRSDuration = 80.0, s_t = 7.0, s_tg = 7.0;
    g_PA = 4.0, g_PacingPulse = 2;
    s_ECGGoing = true;  // no first packet: the time stays as the restart left it
  }
  Apply(7, 1.0, 2.0, 4.0);
  LockGuard lock(s_lock);
  EXPECT_EQ(s_MainsNoiseAmplitude, 0.15 * 0.5);
  EXPECT_EQ(s_PW, 30.0 / 1000);
  EXPECT_EQ(s_t1, 80.0 / 1000 * 0.4375 + 0.01);
  EXPECT_EQ(s_tp, 0.5);
  EXPECT_EQ(s_t, 0.0);
  EXPECT_EQ(s_tg, 0.0);
  EXPECT_EQ(s_PulsesRequired, 2);
  EXPECT_EQ(s_PacDelayTP, 0.01);
}

}  // namespace
