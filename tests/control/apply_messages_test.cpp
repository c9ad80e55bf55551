// What reaches the instrument, in order, and when stored settings take effect.
#include <algorithm>
#include <cmath>
#include <vector>

#include "control/apply.h"
#include "control/on_instrument.h"
#include "control/relays.h"
#include "generator/output_functions.h"
#include "generator/packet_builder.h"
#include "link/lock.h"

namespace orna::control_test {
namespace {

const char* const kRange = "00 05";
const char* const kRelay20 = "07 00 00 20 00 00";
const char* const kRelay21 = "07 00 00 21 00 00";
const char* const kClear = "06";

using ApplyMessages = OnInstrument;

TEST_F(ApplyMessages, FixedOffsetAndPacing) {
  ASSERT_EQ(SetOutputFunc(OutputFuncECGNotchedR), 0);
  EXPECT_SENT((Log{kRange, "P0", kRelay20, kClear}));
  int crest = 0;  // the template was computed before the first packet: an R wave
  for (int i = 0; i < 1500; ++i) crest = std::max(crest, Code(packets.at(0), i));
  EXPECT_GT(crest, 2300);
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  EXPECT_SENT((Log{"53", kClear}));
  ASSERT_EQ(SetTWave(0.3), 0);  // idle run, nothing changed: the clear alone
  EXPECT_SENT((Log{kClear}));
  vi.send_next_request();  // idle: no answer, and none once the stream starts
  Handled();
  EXPECT_SENT(Log{});
  // Pacing of 3 mV or more: high-range relay; no offset step while set up.
  ASSERT_EQ(SetPacingAmplitude(5.0), 0);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  EXPECT_SENT((Log{kClear, kRange, "P0", kRelay21}));
  ASSERT_EQ(SetInputImpedanceMode(false), 0);  // no effect on relays under pacing
  ASSERT_EQ(SetDCOffsetCommoneMode(true), 0);
  ASSERT_EQ(SetDCOffset(100), 0);  // deferred; sample 5000 lies in the fourth packet
  Request(3);
  EXPECT_SENT((Log{"P50", "P100", kRange, "P150"}));
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  EXPECT_SENT((Log{"53", "07 00 00 2E 00 00"}));
  ASSERT_EQ(SetPacingAmplitude(0.0), 0);  // pacing stays set up until a run with output
  EXPECT_SENT(Log{});
  ASSERT_EQ(SetOutputFunc(OutputFuncSquare), 0);
  EXPECT_SENT((Log{kRange, "P0", kClear}));
}

TEST_F(ApplyMessages, VariableOffsetAndTheRangeInForce) {
  ASSERT_EQ(SetAmplitude(2.0), 0);
  ASSERT_EQ(SetDCOffsetVariableMode(true), 0);
  ASSERT_EQ(SetDCOffset(-1000), 0);  // 2048 + trunc(-2000 + 0.5) = 49
  EXPECT_SENT((Log{kRelay20, kClear, kRelay21, kRange, "05 08 00", kRange, "05 00 31"}));
  ASSERT_EQ(SetOutputFunc(OutputFuncSquare), 0);
  EXPECT_SENT((Log{kRange, "P0", kRange}));
  // +1 mV: the first packet is built on the range sent (5), later ones on 4.
  EXPECT_EQ(Code(packets.at(0), 0), 2448);
  Request(1);
  EXPECT_SENT((Log{"P50"}));
  EXPECT_EQ(Code(packets.at(0), 0), 2548);
  EXPECT_EQ(Code(packets.at(0), 1499), 1548);  // -1 mV at 0.5998 s
  ASSERT_EQ(SetDCOffset(300), 0);
  Request(2);
  EXPECT_SENT((Log{"P100", kRange, kRange, "05 0A 58", "P150"}));
  // Back in fixed mode the instrument's offset is cleared; a return to
  // variable mode programs it again even though the setting is unchanged.
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  ASSERT_EQ(SetDCOffsetVariableMode(false), 0);
  ASSERT_EQ(SetDCOffsetVariableMode(true), 0);
  ASSERT_EQ(SetDCOffsetVariableMode(true), 0);
  EXPECT_SENT((Log{"53", kRange, "07 00 00 34 00 00", kClear, kRelay21, kRange, "05 0A 58",
                   kRange}));
  // The host may change the range value; the next run reads it afresh.
  ASSERT_EQ(SetDCOffsetVariableMode(false), 0);
  Sent();
  g_RangeV4Ch2Off = 3.7;
  ASSERT_EQ(SetOutputFunc(OutputFuncSquare), 0);
  EXPECT_SENT((Log{"00 03", "P0", kClear}));
  EXPECT_EQ(Code(packets.at(0), 0), 2588);  // trunc(1 / 3.7 * 2000 + 2048)
}

// Time after n steps of 0.0002 s, summed as the time base sums it, and the
// code of a sine at that time with working amplitude a (5 mV range).
double After(int n) {
  double t = 0;
  for (int i = 0; i < n; ++i) t += 0.0002;
  return t;
}
int Sine(double t, double f, double a) {
  return static_cast<int>(std::sin(t * 6.2831853 * f) * a / 5.0 * 2000 + 2048);
}

TEST_F(ApplyMessages, DeferredChangesMeetAtTheCycleEnd) {
  ASSERT_EQ(SetFrequency(0.9), 0);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  Sent();
  // Two setters in one cycle: stored at once, applied together once.
  ASSERT_EQ(SetAmplitude(4.0), 0);
  ASSERT_EQ(SetPulseWidth(50.0), 0);
  EXPECT_EQ(GetAmplitude(), 4.0);
  EXPECT_SENT(Log{});
  // Period 1.1111 s: sample 5554 is the first within 0.0004 s of its end, so
  // sample 5555 (1055 of the fourth packet) starts the new cycle at time 0.
  Request(3);
  EXPECT_SENT((Log{"P50", "P100", kRange, kClear, "P150"}));
  const auto& p = packets.at(2);
  EXPECT_EQ(Code(p, 1054), Sine(After(5554), 0.9, 0.5));
  EXPECT_EQ(Code(p, 1055), 2048);
  EXPECT_EQ(Code(p, 1455), Sine(After(400), 0.9, 2.0));
  {
    LockGuard lock(s_lock);
    EXPECT_EQ(s_PW, 0.05);
  }
  // Below 0.15 Hz the next sample applies.
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  ASSERT_EQ(SetFrequency(0.1), 0);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_EQ(SetAmplitude(1.0), 0);
  Sent();
  Request(1);
  EXPECT_SENT((Log{kRange, kClear, "P50"}));
  EXPECT_EQ(Code(packets.at(0), 0), Sine(After(1500), 0.1, 2.0));
  EXPECT_EQ(Code(packets.at(0), 1000), Sine(After(999), 0.1, 0.5));
}

TEST_F(ApplyMessages, WhatAppliesAtOnceWhileStreaming) {
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_EQ(SetOutputFunc(OutputFuncSquare), 0);  // waits for the cycle end
  EXPECT_EQ(GetOutputFunc(), 3);
  EXPECT_SENT((Log{kRange, "P0", kRelay20, kClear}));
  // Output 12 and the table selectors do not wait, and leave the deferral pending.
  ASSERT_EQ(SetOutputFunc(OutputFuncBiExponential), 0);
  ASSERT_EQ(SetSpecialWave251(4), 0);
  EXPECT_SENT((Log{kRange, kClear, kRange, kClear}));
  {
    LockGuard lock(s_lock);
    EXPECT_TRUE(s_ChangeOnNextCycle);
  }
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);  // stops before it returns
  {
    LockGuard lock(s_lock);
    EXPECT_FALSE(s_ECGGoing);
  }
  EXPECT_SENT((Log{"53", kClear}));
  // A new stream starts from every stored setting: the old deferral is void.
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  Request(4);
  EXPECT_SENT((Log{kRange, "P0", kClear, "P50", "P100", "P150", "P200"}));
}

}  // namespace
}  // namespace orna::control_test
