// `orna rhythms` and `orna play rhythm NAME`: rhythms rendered on the host,
// played by output function 13, their annotations carried into recordings.
#pragma once

#include <string>
#include <vector>

#include "signals/rhythm.h"
#include "tools.h"

namespace orna::cli {

// The pacing pulse amplitude of a paced rhythm when none is given.
constexpr double kPacedPulseDefault_mV = 2;

// The function name that asks `orna play` for a rhythm.
constexpr const char* kRhythmFunction = "rhythm";
inline bool IsRhythm(const PlayOptions& o) { return o.function == kRhythmFunction; }

// Every rhythm parameter's name, each once, in the catalogue's order: the
// options `orna play` takes for them.
std::vector<std::string> RhythmParameterNames();
// The help of option --NAME: the rhythms that take it, with ranges and defaults.
std::string RhythmParameterHelp(const std::string& name);

// A rendered rhythm and the settings the library gets for it (the rhythm
// takes --amplitude and --bpm itself; a paced one sets the pacing rate and
// mode, and the pulse amplitude when none is given).
struct RhythmLoop {
  signals::Rendered rendered;
  PlayOptions library;
};

// The renderer's request for the rhythm options of `o` (no --bpm: the
// rhythm's own rate).
signals::RhythmRequest RhythmRequestOf(const PlayOptions& o);
// "" when output function 13 can play `rendered` as it is; otherwise how far
// beyond the output's +-5 mV the loop would reach.
std::string BeyondOutput(const signals::Rendered& rendered);

// Checks the rhythm options of `o` and renders the loop; kExitOk, or the exit
// code after saying why on stderr.
int PrepareRhythm(const PlayOptions& o, RhythmLoop* loop);
// Loads the loop as output function 13's waveform, so that each sample is
// played at its own instant; OrnaLoadECGSamples' result.
int LoadRhythm(const signals::Rendered& rendered);
// The same for a loop played once: its samples are doubled where they are
// and freed after loading (the library keeps its own copy).
int LoadRhythm(signals::Rendered* rendered);
// Where each annotation was played: output 13 starts its loop with the first
// recorded point and repeats it every loop_s; each label goes to the point
// nearest its played time. Sorted by point.
std::vector<Label> PlayedLabels(const signals::Rendered& rendered, const std::vector<Point>& points);

}  // namespace orna::cli
