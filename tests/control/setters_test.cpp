// The setters' checks (inclusive bounds, order, codes; a refused call neither
// stores nor sends) and the front-end setters that act on the relays at once.
#include <cmath>
#include <limits>

#include "support/instrument.h"

namespace orna::test {
namespace {

using Setters = OnInstrument;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
double Below(double v) { return std::nextafter(v, -kInf); }
double Above(double v) { return std::nextafter(v, kInf); }

TEST_F(Setters, BoundsAreInclusiveAndNothingBeyondIsTaken) {
  struct Real { int (*set)(double); double (*get)(); double lo, hi; };
  const Real reals[] = {{SetAmplitude, GetAmplitude, -10.0, 10.0},
      {SetFrequency, GetFrequency, 0.05, 500.0}, {SetPulseWidth, GetPulseWidth, 2.0, 300.0},
      {SetQRSDuration, GetQRSDuration, 5.0, 200.0}, {SetTWave, GetTWave, 0.0, 2.5},
      {SetPacingAmplitude, GetPacingAmplitude, -700.0, 700.0},
      {SetPacingDuration, GetPacingDuration, 0.1, 3.0}};
  for (const auto& s : reals) {
    EXPECT_EQ(s.set(s.lo), 0);
    EXPECT_EQ(s.get(), s.lo);
    EXPECT_EQ(s.set(s.hi), 0);
    for (double bad : {Below(s.lo), Above(s.hi), kNaN, kInf, -kInf}) {
      EXPECT_EQ(s.set(bad), -2) << bad << " outside [" << s.lo << ", " << s.hi << "]";
    }
    EXPECT_EQ(s.get(), s.hi);
  }
  struct Whole { int (*set)(int); int (*get)(); int lo, hi; };
  const Whole wholes[] = {{SetPacingRate, GetPacingRate, 10, 300},
      {SetOvershootTimeConstant, GetOvershootTimeConstant, 0, 100},
      {SetDCOffset, GetDCOffset, -300, 300}};
  for (const auto& s : wholes) {
    EXPECT_EQ(s.set(s.lo), 0);
    EXPECT_EQ(s.set(s.lo - 1), -2);
    EXPECT_EQ(s.get(), s.lo);
    EXPECT_EQ(s.set(s.hi), 0);
    EXPECT_EQ(s.set(s.hi + 1), -2);
    EXPECT_EQ(s.get(), s.hi);
  }
  ASSERT_EQ(SetDCOffsetVariableMode(true), 0);
  EXPECT_EQ(SetDCOffset(-1001), -2);
  EXPECT_EQ(SetDCOffset(1001), -2);
  EXPECT_EQ(SetDCOffset(1000), 0);
  EXPECT_EQ(SetDCOffset(500), 0);
  ASSERT_EQ(SetDCOffsetVariableMode(false), 0);
  EXPECT_EQ(GetDCOffset(), 500);  // kept from variable mode
  Sent();
  EXPECT_EQ(SetDCOffset(500), -2);
  EXPECT_EQ(SetAmplitude(kNaN), -2);
  EXPECT_SENT(Log{});
  EXPECT_EQ(SetPacingPulseMode(-7), 0);  // unchecked: stored as given
  EXPECT_EQ(GetPacingPulseMode(), -7);
}

TEST_F(Setters, ChecksRunInOrder) {
  ASSERT_EQ(SetOutputFunc(OutputFuncPulse), 0);
  EXPECT_EQ(SetFrequency(3.0), 0);
  EXPECT_EQ(SetFrequency(Above(3.0)), -2);
  ASSERT_EQ(SetOutputFunc(OutputFuncTrianglePulse), 0);
  EXPECT_EQ(SetFrequency(3.5), -2);
  ASSERT_EQ(SetFreqScanSine(true, 1.0, 100.0, 180), 0);
  EXPECT_EQ(SetFrequency(600.0), -2);
  EXPECT_EQ(SetFrequency(10.0), -3);
  ASSERT_EQ(SetBaselineResetTest(1), 0);
  EXPECT_EQ(SetFrequency(10.0), -3);  // the scan before the baseline test
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);  // stopping ends both
  EXPECT_FALSE(GetFreqScanECG());
  EXPECT_EQ(GetBaselineResetTest(), 0);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_EQ(SetBaselineResetTest(3), 0);
  Sent();
  EXPECT_EQ(SetFrequency(10.0), -4);
  EXPECT_EQ(SetAmplitude(10.5), -2);
  EXPECT_EQ(SetAmplitude(2.0), -3);
  EXPECT_EQ(GetFrequency(), 80.0);
  EXPECT_EQ(GetAmplitude(), 1.0);
  // Test-mode arguments are checked even when switching off.
  EXPECT_EQ(SetECG2_27_Noise(1, 0.1), -2);  // needs output 7
  EXPECT_EQ(SetECG2_27_Noise(0, 0.0), -3);
  // A NaN or infinite argument is refused with -2, whichever argument it is.
  EXPECT_EQ(SetECG2_27_Noise(0, kNaN), -2);
  EXPECT_EQ(SetDynamicRangeTest(true, 1.0, 40.0), -2);  // needs output 2 or 3
  EXPECT_EQ(SetDynamicRangeTest(false, 6.0, 40.0), -3);
  EXPECT_EQ(SetDynamicRangeTest(false, 1.0, 60.0), -4);
  EXPECT_EQ(SetDynamicRangeTest(false, kNaN, kNaN), -2);
  EXPECT_EQ(SetDynamicRangeTest(false, 1.0, kInf), -2);
  EXPECT_EQ(SetFreqScanSine(false, 0.67, kInf, 10), -2);
  EXPECT_EQ(SetFreqScanSine(false, 0.67, kNaN, 10), -2);
  EXPECT_EQ(SetFreqScanSine(false, 0.0, 0.0, 0), -2);
  EXPECT_EQ(SetFreqScanSine(false, 0.67, Above(500.0), 0), -3);
  EXPECT_EQ(SetFreqScanSine(false, 0.67, 500.0, 9), -4);
  EXPECT_EQ(SetFreqScanSine(false, 0.67, 500.0, 181), -4);
  EXPECT_EQ(SetFreqScanSine(false, Below(0.67), 500.0, 10), -2);
  ASSERT_EQ(SetOutputFunc(OutputFuncTriangle), 0);  // stored now, applied at the cycle end
  EXPECT_EQ(SetBaselineResetTest(2), -2);
  EXPECT_SENT(Log{});
  EXPECT_EQ(SetECG2_27_Noise(0, 0.01), 0);
  EXPECT_EQ(SetDynamicRangeTest(false, 5.0, 10.0), 0);
  EXPECT_EQ(SetFreqScanSine(false, 500.0, 0.67, 180), 0);  // with an output: switches it off
  EXPECT_EQ(GetOutputFunc(), 0);
  const std::vector<double> stored = {GetECG2_27_NoiseAmp(), GetDynamicRangeTestAmp(),
      GetDynamicRangeTestFreq(), GetFreqScanSineStartFreq(), GetFreqScanSineStopFreq(),
      static_cast<double>(GetFreqScanSineDuration())};
  EXPECT_EQ(stored, (std::vector<double>{0.01, 5.0, 10.0, 500.0, 0.67, 180}));
}

TEST_F(Setters, OutputLeads) {
  // No word computed yet: the comparison base is the load-time 0.
  ASSERT_EQ(SetOutputLead(0, false), 0);
  EXPECT_SENT(Log{});
  ASSERT_EQ(SetOutputLead(0, true), 0);
  ASSERT_EQ(SetOutputLead(3, true), 0);
  ASSERT_EQ(SetOutputLead(3, true), 0);  // already on: no update
  ASSERT_EQ(SetOutputLead(0, false), 0);
  EXPECT_SENT((Log{"07 00 00 20 00 00", "07 00 02 20 00 00", "07 00 02 00 00 00"}));
  // Leads that do not exist are stored without a relay change; numbers that
  // cannot be shifted are refused and change nothing.
  for (int lead : {9, 31}) ASSERT_EQ(SetOutputLead(lead, true), 0);
  for (int lead : {32, -1, 1000}) ASSERT_EQ(SetOutputLead(lead, true), -2);
  EXPECT_SENT(Log{});
  std::vector<bool> on;
  for (int lead : {-1, 0, 3, 9, 31, 32}) on.push_back(GetOutputLead(lead));
  EXPECT_EQ(on, (std::vector<bool>{false, false, true, true, true, false}));
  for (int lead = 0; lead <= 8; ++lead) ASSERT_EQ(SetOutputLead(lead, true), 0);
  EXPECT_EQ(Sent().back(), "07 00 7F 60 00 00");
}

TEST_F(Setters, ImpedanceAndCommonModeActAtOnce) {
  ASSERT_EQ(SetInputImpedanceMode(true), 0);  // the first word goes out
  ASSERT_EQ(SetInputImpedanceMode(true), 0);
  ASSERT_EQ(SetDCOffsetCommoneMode(true), 0);  // no fixed offset: no bit
  ASSERT_EQ(SetInputImpedanceMode(false), 0);
  ASSERT_EQ(SetDCOffsetCommoneMode(false), 0);
  EXPECT_SENT((Log{"07 00 00 20 00 00", "07 00 00 22 00 00"}));
  ASSERT_EQ(SetDCOffset(300), 0);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_EQ(SetDCOffsetCommoneMode(true), 0);  // at once while streaming
  EXPECT_SENT((Log{"07 00 00 36 00 00", "06", "00 05", "P0", "06", "07 00 00 3E 00 00"}));
}

}  // namespace
}  // namespace orna::test
