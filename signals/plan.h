// What a rhythm lays out before it is drawn: beats at their times, periodic
// background waves, and the rhythm's label; Draw turns it into the loop.
#pragma once

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "signals/beat_model.h"
#include "signals/random.h"
#include "signals/rhythm.h"

namespace orna::signals {

struct Event {
  double t_s;        // the beat's time within the loop; its waves are relative to it
  Beat beat;
  const char* code;  // beat code, or nullptr for a P wave without QRS
  double fiducial_s = NAN;  // relative to t_s; NAN: Fiducial(beat)
};

// A sine with a whole number of cycles in the loop, so the loop joins smoothly.
struct Tone {
  long cycles;
  double mV, phase;
};

struct Plan {
  double loop_s = 0;
  std::vector<Event> events;
  std::vector<Tone> tones;
  std::string rhythm;  // the rhythm annotation, e.g. "(AFIB"
  // Paced loops start where the library's pacing puts them (see Pacing): not
  // cut elsewhere; pulses_s holds the pulses they were drawn for.
  Pacing pacing;
};

struct Settings {
  double bpm, amplitude_mV;
  std::map<std::string, double> params;  // every parameter, defaults filled in
  Random* random;
  double operator[](const char* name) const { return params.at(name); }
};

using Builder = void (*)(const Settings&, Plan*);
// The paced rhythms (paced.cpp).
void PacedAtrial(const Settings& s, Plan* plan);
void PacedVentricular(const Settings& s, Plan* plan);
void PacedAv(const Settings& s, Plan* plan);
void PacedNoncapture(const Settings& s, Plan* plan);
void PacedNonsensing(const Settings& s, Plan* plan);
Builder FindBuilder(const std::string& name);

// Samples and annotations of the plan; the loop is stretched to a whole number
// of samples and (unless paced) cut where the signal is quiet and nearest 0,
// so that its end joins its start without a step.
Rendered Draw(const Plan& plan);

}  // namespace orna::signals
