// Changes that cannot be applied when they are asked for are not lost, and
// numbers without an output function are refused.
#include <algorithm>

#include "support/instrument.h"
#include "generator/output_functions.h"
#include "link/lock.h"

namespace orna::test {
namespace {

using Scheduling = OnInstrument;

int g_calls = 0;
// Stops the output from inside the apply engine's run (its frequency limit).
void StopFromCallback(double) {
  ++g_calls;
  EXPECT_EQ(SetOutputFunc(OutputFuncNone), 0);
}

TEST_F(Scheduling, OutputNumbersWithoutAFunctionAreRefused) {
  for (int n : {-1, 14, 1000}) EXPECT_EQ(SetOutputFunc(n), -2) << n;
  EXPECT_EQ(GetOutputFunc(), 0);
  EXPECT_SENT(Log{});
  EXPECT_EQ(SetOutputFunc(OutputFuncECGFile), 0);  // the last number that has one
  // Waveform 7 of the longer table has no counterpart in the shorter one.
  ASSERT_EQ(SetSpecialWave227(7), 0);
  Sent();
  EXPECT_EQ(SetOutputFunc(OutputFuncIEC251), -2);
  EXPECT_EQ(GetOutputFunc(), OutputFuncIEC227);
  EXPECT_SENT(Log{});
  ASSERT_EQ(SetSpecialWave227(5), 0);
  EXPECT_EQ(SetOutputFunc(OutputFuncIEC251), 0);
}

TEST_F(Scheduling, AStopAskedForDuringARunIsAppliedWhenTheRunEnds) {
  ASSERT_EQ(SetFrequency(10.0), 0);
  Sent();
  RegisterSyncFreqCB(StopFromCallback);
  // Output 4 lowers 10 Hz to 3 Hz and reports it while the engine runs; the
  // stop the callback asks for must still end the stream.
  ASSERT_EQ(SetOutputFunc(OutputFuncPulse), 0);
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(GetOutputFunc(), 0);
  // The run that started the stream (range, first packet, offset clear; the
  // relays were set by the frequency change), then the run that stops it.
  EXPECT_SENT((Log{"00 05", "P0", "06", "53", "06"}));
  vi.send_next_request();
  Handled();
  Settle();
  EXPECT_EQ(vi.packet_count(), 0u);
}

// Asks for a new amplitude once, from the first graph point of a stream.
void AmplitudeFromCallback(double, double) {
  RegisterTimeAmpCB(nullptr);
  EXPECT_EQ(SetAmplitude(2.0), 0);
}

TEST_F(Scheduling, AChangeAskedForInsideTheFirstPacketIsApplied) {
  // At 10 Hz a cycle ends inside the first packet, while the engine that
  // builds it still runs: the change waits for it instead of being dropped.
  ASSERT_EQ(SetFrequency(10.0), 0);
  RegisterTimeAmpCB(AmplitudeFromCallback);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  EXPECT_EQ(GetAmplitude(), 2.0);
  Request(2);
  {
    LockGuard lock(s_lock);
    EXPECT_EQ(s_A, 1.0);
  }
  // Peak of a 1 mV sine on the 5 mV full scale: 2048 + 400.
  const auto p = vi.packets().back();
  int peak = 0;
  for (int i = 0; i < 1500; ++i) peak = std::max(peak, Code(p, i));
  EXPECT_NEAR(peak, 2448, 1);
}

}  // namespace
}  // namespace orna::test
