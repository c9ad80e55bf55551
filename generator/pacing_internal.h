// State of the pacing pulse generator kept inside pacing.cpp; exposed here
// only for tests and benchmarks.
#pragma once

namespace orna {

struct PacingState {
  double s_pp = 0;   // pacing period, s
  double s_OTC = 0;  // overshoot time constant, s
  double s_POA = 0;  // overshoot amplitude, mV
  int s_ppc = 0;     // ticks of 0.1 ms since the current pulse started
  bool _PacingPulseTriggered = false;           // pulse-start latch
  bool _PacingHighRangeClearingNeeded = false;  // one zero high-range sample owed
};

PacingState& _PacingStateForTesting();

// Starts a pulse when the waveform time plus `offset` has just entered a new
// pacing period (one of the up to three pulses of a period).
void _CheckIfPacingPulseNeeded(double offset);

}  // namespace orna
