#include "run/rhythm_step.h"
#include "rhythm_play.h"
#include "run/settings.h"
#include "setting_table.h"
#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orna::cli::run {

namespace {

// The pulse settings a paced rhythm takes besides its own (it sets the rate and mode).
const char* const kPulseKeys[] = {"pacing_amplitude", "pacing_width", "overshoot"};

bool PulseKey(const signals::RhythmInfo& r, const std::string& key) {
  return r.paced && std::find(std::begin(kPulseKeys), std::end(kPulseKeys), key) != std::end(kPulseKeys);
}

std::string Takes(const signals::RhythmInfo& r) {
  std::string keys = "amplitude, ";
  if (r.uses_bpm) keys += "bpm, ";
  keys += "seed";
  for (const auto& p : r.params) keys += std::string(", ") + p.name;
  if (r.paced)
    for (const char* k : kPulseKeys) keys += std::string(", ") + k;
  return keys;
}

}  // namespace

bool SetRhythmOption(const signals::RhythmInfo& r, const std::string& key, const toml::node& v, PlayOptions* o,
                     std::string* message) {
  const bool param = std::any_of(r.params.begin(), r.params.end(), [&](const auto& p) { return key == p.name; });
  if (!param && key != "amplitude" && key != "seed" && (key != "bpm" || !r.uses_bpm) && !PulseKey(r, key)) {
    *message = key + " does nothing for rhythm " + r.name + ": it takes " + Takes(r);
    return false;
  }
  double x = 0;
  if (!AsNumber(v, &x) || !std::isfinite(x)) return *message = key + " must be a number", false;
  // Ranges are the renderer's: it names the rhythm, the parameter and its range.
  if (key == "seed") {
    if (x < 0 || x != std::floor(x) || x > 9.0e15) return *message = "seed must be a whole number, 0 or more", false;
    o->seed = static_cast<long long>(x);
  } else if (PulseKey(r, key)) {
    const SettingSpec& setting = *FindSetting(key);
    if (x < setting.lo || x > setting.hi || (key == "overshoot" && x != std::floor(x)))
      return *message = key + " out of range (" + Number(setting.lo) + ".." + Number(setting.hi) + " " + setting.unit + ")", false;
    if (key == "pacing_amplitude" && x == 0) return *message = std::string(r.name) + " needs its pacing pulses", false;
    o->*(setting.real) = x;
  } else if (key == "amplitude") {
    o->amplitude = x;
  } else if (key == "bpm") {
    o->bpm = x;
  } else {
    o->rhythm_params[key] = x;
  }
  return true;
}

void MergeRhythmOptions(const PlayOptions& from, const std::vector<std::string>& keys, PlayOptions* to) {
  for (const auto& key : keys) {
    if (key == "seed") to->seed = from.seed;
    else if (key == "amplitude") to->amplitude = from.amplitude;
    else if (key == "bpm") to->bpm = from.bpm;
    else if (const SettingSpec* setting = FindSetting(key); setting && setting->real) to->*(setting->real) = from.*(setting->real);
    else if (auto it = from.rhythm_params.find(key); it != from.rhythm_params.end()) to->rhythm_params[key] = it->second;
  }
}

std::string CheckRhythm(const PlayOptions& o) {
  // The request `orna play rhythm` makes of the same options.
  const signals::RhythmRequest request = RhythmRequestOf(o);
  signals::Rendered rendered;
  std::string error;
  if (!signals::Render(request, &rendered, &error)) return error;
  const std::string beyond = BeyondOutput(rendered);
  if (!beyond.empty()) return "amplitude " + Number(request.amplitude_mV) + " mV: " + beyond;
  return "";
}

}  // namespace orna::cli::run
