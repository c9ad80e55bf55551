// The rhythm library: ECG rhythms rendered on the host at 5 000 samples/s, in
// microvolts, with beat annotations, as a seamless loop for output function 13.
// Depends on the C++ standard library only; the tools join it to the library.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orna::signals {

struct RhythmParam {
  const char* name;
  double min, max, def;
  const char* unit;
  const char* help;
  bool whole = false;  // only whole numbers (ratios, counts)
};

struct RhythmInfo {
  const char* name;
  const char* description;
  std::vector<RhythmParam> params;
  // The rate the request's bpm sets (ventricular, atrial or escape: see the
  // description); rhythms without one (flutter, fibrillation, asystole) ignore bpm.
  bool uses_bpm = true;
  double bpm_min = 30, bpm_max = 200, bpm_def = 60;
};

// Every rhythm, in a fixed order.
const std::vector<RhythmInfo>& Rhythms();
const RhythmInfo* FindRhythm(const std::string& name);

// Beat codes N V A j E at each beat's fiducial point (the R peak, or the main
// deflection of a ventricular complex); rhythm changes "(N" "(AFIB" ... at the
// first beat of the loop (at 0 when there is no beat).
struct Annotation {
  double t_s;
  std::string label;
};

struct RhythmRequest {
  std::string name;
  double bpm = 60;  // 0: the rhythm's own default (RhythmInfo::bpm_def)
  double amplitude_mV = 1.0;  // R-wave height of a normal beat above the baseline
  std::uint64_t seed = 1;
  std::map<std::string, double> params;  // missing ones take their default
};

struct Rendered {
  std::vector<double> microvolts;
  double samples_per_second = 5000;
  std::vector<Annotation> annotations;  // sorted, within [0, loop_s)
  double loop_s = 0;
};

// End of the QRS of a normal beat, after its R peak; ST shifts are set at J+60 ms.
constexpr double kJPointAfterR_s = 0.05;

// False with *error naming the rhythm, the parameter and its range for unknown
// names, bpm or parameters out of range. A render is repeatable sample for
// sample for the same request.
bool Render(const RhythmRequest& request, Rendered* out, std::string* error);

}  // namespace orna::signals
