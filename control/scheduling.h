// Change scheduling.
#pragma once

namespace orna {

// A change waits for the end of the current waveform cycle.
extern bool s_ChangeOnNextCycle;

// A change was requested while the apply engine was running; the engine
// applies it once more when it finishes instead of losing it.
extern bool s_ChangeMissed;

// After a setter stored its value: defer while streaming a waveform, else apply now.
void _ChangeRequested();
// Runs the apply engine now unless it is already running.
void _ApplyAtOnce();

}  // namespace orna
