// Pacing pulse generator.
#pragma once

namespace orna {

extern int s_PulsesRequired;     // > 0 while pacing is enabled
extern bool s_PacingHighRange;   // |g_PA| >= 3 (read by the relays)

// Per-sample flags read by the packet builder.
extern bool s_PacingHighRangeNeeded;
extern bool s_PacingShortPulseNeeded;
extern bool s_PacingIndicationNeeded;

// Set-up by the apply engine (s_PulsesRequired, s_PacDelayTP and the state
// of pacing_internal.h).
void _SetupPacing();
// Per sample: adds the pulse or its overshoot to `value`, sets the flags above.
void _GetPacingV4(double& value);

}  // namespace orna
