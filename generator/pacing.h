// Pacing pulse generator.
#pragma once

namespace orna {

extern int s_PulsesRequired;     // > 0 while pacing is enabled
extern double s_pp;              // pacing period, s
extern double s_OTC;             // overshoot time constant, s
extern double s_POA;             // overshoot amplitude, mV
extern int s_ppc;                // ticks of 0.1 ms since the current pulse started
extern bool s_PacingHighRange;   // |g_PA| >= 3 (read by the relays)

// Per-sample flags read by the packet builder.
extern bool s_PacingHighRangeNeeded;
extern bool s_PacingShortPulseNeeded;
extern bool s_PacingIndicationNeeded;

// Function-local state of the two per-sample functions.
extern bool _PacingPulseTriggered;            // pulse-start latch
extern bool _PacingHighRangeClearingNeeded;   // one zero high-range sample owed

// Set-up by the apply engine (s_PulsesRequired, s_PacDelayTP and the rest).
void _SetupPacing();
void _CheckIfPacingPulseNeeded(double offset);
void _GetPacingV4(double& value);

}  // namespace orna
