// What a rhythm lays out before it is drawn: beats at their times, periodic
// background waves, and the rhythm's label; Draw turns it into the loop.
#pragma once

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
};

struct Settings {
  double bpm, amplitude_mV;
  std::map<std::string, double> params;  // every parameter, defaults filled in
  Random* random;
  double operator[](const char* name) const { return params.at(name); }
};

using Builder = void (*)(const Settings&, Plan*);
Builder FindBuilder(const std::string& name);

// Samples and annotations of the plan; the loop is stretched to a whole number
// of samples and cut where the signal is quiet and nearest 0, so that its end
// joins its start without a step.
Rendered Draw(const Plan& plan);

}  // namespace orna::signals
