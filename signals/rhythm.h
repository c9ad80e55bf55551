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
  double step = 0;     // > 0: only min, min + step, ... (a choice of settings)
};

struct RhythmInfo {
  const char* name;
  const char* description;
  std::vector<RhythmParam> params;
  // The rate the request's bpm sets (ventricular, atrial or escape: see the
  // description); rhythms without one (flutter, fibrillation, asystole) ignore bpm.
  bool uses_bpm = true;
  double bpm_min = 30, bpm_max = 200, bpm_def = 60;
  // Played with the library's pacing pulses at bpm (a whole number per minute,
  // the pacing rate's unit).
  bool paced = false;
  // Intervals that vary beat to beat: its rate is the mean rate.
  bool irregular = false;
};

// Every rhythm, in a fixed order.
const std::vector<RhythmInfo>& Rhythms();
const RhythmInfo* FindRhythm(const std::string& name);

// Beat codes N V A j E / f at each beat's fiducial point (the R peak, or the main
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

// The library's pacing a paced loop is drawn for. Output 13 and the pulses
// both run on the waveform clock, which restarts at 0 with the loop: a pulse
// starts kPulseLead_s before every multiple of the pacing period (the first
// one a period after the start), and in the two-pulse modes a second one
// 150 ms (mode 1) or 250 ms (mode 2) before that.
struct Pacing {
  int rate_per_min = 0;  // 0: not paced
  int mode = 0;          // the library's pacing pulse mode
  std::vector<double> pulses_s;  // where the pulses start within the loop, sorted
};
constexpr double kPulseLead_s = 0.02;

struct Rendered {
  std::vector<double> microvolts;
  double samples_per_second = 5000;
  std::vector<Annotation> annotations;  // sorted, within [0, loop_s)
  double loop_s = 0;
  Pacing pacing;
};

// A paced QRS begins (its first lobe at a tenth of its peak) this long before
// its fiducial point; the capture delay runs from the pulse's start to there.
constexpr double kPacedQrsOnset_s = 0.0600872;  // 0.028 s sigma x sqrt(2 ln 10)

// End of the QRS of a normal beat, after its R peak; ST shifts are set at J+60 ms.
constexpr double kJPointAfterR_s = 0.05;

// False with *error naming the rhythm, the parameter and its range for unknown
// names, bpm or parameters out of range. A render is repeatable sample for
// sample for the same request.
bool Render(const RhythmRequest& request, Rendered* out, std::string* error);

}  // namespace orna::signals
