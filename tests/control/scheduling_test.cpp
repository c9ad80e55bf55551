// Changes that cannot be applied when they are asked for are not lost, and
// numbers without an output function are refused.
#include "control/on_instrument.h"

namespace orna::control_test {
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
  Settle();
  EXPECT_EQ(vi.packet_count(), 0u);
}

}  // namespace
}  // namespace orna::control_test
