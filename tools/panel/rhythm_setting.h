// The panel's rhythm: one of the host-rendered rhythms, checked and rendered
// when chosen, then loaded as output 13's waveform the way `orna play` does.
#pragma once

#include <string>

#include "settings.h"
#include "signals/rhythm.h"

namespace orna::panel {

struct ChosenRhythm {
  Json request = "none";  // what Current() reports: "none" or the rhythm's settings in force
  signals::Rendered rendered;
  bool chosen = false;
};

// The rhythms with their descriptions, parameters and rates, for the schema.
Json RhythmSchema();
// Checks and renders `value` ({"name", "bpm", "amplitude", "seed", "params"},
// or "none"/null for no rhythm) into *out; a refusal names its field.
Outcome ChooseRhythm(const Json& value, ChosenRhythm* out);
// A paced rhythm's pacing: the rate and mode its loop is drawn for, and a
// pulse amplitude when pacing is off. Set with the loop, before output 13
// starts (or, while it plays, taking effect at its next cycle), so that the
// pulses start with the loop. Nothing for other rhythms.
Outcome SetRhythmPacing(const signals::Rendered& rendered);

}  // namespace orna::panel
