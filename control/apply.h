// Apply engine: derives the generator's working values from the settings,
// restarts the waveform, starts or stops streaming. The lowest header of
// control/ and the one that generator/ may include (the packet builder runs a
// deferred change at the end of a cycle): it includes nothing of control/.
#pragma once

namespace orna {

extern bool s_ECGGoing;          // streaming is on
extern bool _ChangeInProcess;    // the apply engine is running (re-entry guard)
extern bool _DCVariableOn;       // variable DC offset mode has been programmed
extern double _DCVariablePrev;   // offset recorded at the last run in variable mode

// A change waits for the end of the current waveform cycle: set by change
// scheduling, honoured by the packet builder.
extern bool s_ChangeOnNextCycle;

// A change was requested while the apply engine was running; the engine
// applies it once more when it finishes instead of losing it.
extern bool s_ChangeMissed;

void _Change();
// Runs the apply engine now unless it is already running (then s_ChangeMissed).
void _ApplyAtOnce();

}  // namespace orna
