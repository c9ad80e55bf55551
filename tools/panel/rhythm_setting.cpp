#include "rhythm_setting.h"

#include "rhythm_play.h"
#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orna::panel {

namespace {

using cli::Number;
using signals::RhythmInfo;
using signals::RhythmParam;

// Output 13 holds every sample within +-5 mV; the normal beat's R wave may be as
// small as this.
constexpr double kMinAmplitude = 0.05, kMaxAmplitude = 5;
constexpr int kRefused = -2, kBadValue = -100;

Outcome Refuse(int code, const std::string& field, const std::string& text) { return {code, text, field}; }

bool AsNumber(const Json& v, double* out) {
  if (!v.is_number()) return false;
  *out = v.get<double>();
  return std::isfinite(*out);
}

std::string OutOfRange(const std::string& what, double v, double lo, double hi, const char* unit) {
  return what + " " + Number(v) + " outside " + Number(lo) + " to " + Number(hi) + unit;
}

}  // namespace

Json RhythmSchema() {
  Json list = Json::array();
  for (const RhythmInfo& r : signals::Rhythms()) {
    Json params = Json::array();
    for (const RhythmParam& p : r.params)
      params.push_back({{"name", p.name}, {"min", p.min}, {"max", p.max}, {"default", p.def}, {"unit", p.unit},
                        {"whole", p.whole}, {"help", p.help}});
    Json bpm = r.uses_bpm ? Json{{"min", r.bpm_min}, {"max", r.bpm_max}, {"default", r.bpm_def}} : Json(nullptr);
    list.push_back({{"name", r.name}, {"description", r.description}, {"bpm", bpm}, {"params", params}});
  }
  return {{"name", "rhythm"}, {"kind", "rhythm"}, {"default", "none"}, {"options", list},
          {"amplitude", {{"min", kMinAmplitude}, {"max", kMaxAmplitude}, {"default", 1}, {"unit", "mV"}}},
          {"seed", {{"min", 0}, {"default", 1}}}};
}

Outcome ChooseRhythm(const Json& v, ChosenRhythm* out) {
  if (v.is_null() || (v.is_string() && (v == "none" || v == ""))) {
    *out = ChosenRhythm{};
    return {0, "no rhythm"};
  }
  if (!v.is_object() || !v.contains("name") || !v["name"].is_string())
    return Refuse(kBadValue, "rhythm", "a rhythm's name expected");
  const RhythmInfo* info = signals::FindRhythm(v["name"].get<std::string>());
  if (!info) return Refuse(kRefused, "rhythm", "unknown rhythm '" + v["name"].get<std::string>() + "'");

  signals::RhythmRequest request;
  request.name = info->name;
  request.bpm = info->bpm_def;
  double d = 0;
  if (v.contains("bpm") && !v["bpm"].is_null()) {
    if (!info->uses_bpm) return Refuse(kRefused, "bpm", std::string("bpm not taken: ") + info->name + " keeps its own rate");
    if (!AsNumber(v["bpm"], &d)) return Refuse(kBadValue, "bpm", "not a valid value");
    if (!(d >= info->bpm_min && d <= info->bpm_max))
      return Refuse(kRefused, "bpm", OutOfRange("heart rate", d, info->bpm_min, info->bpm_max, " per minute"));
    request.bpm = d;
  }
  if (v.contains("amplitude") && !v["amplitude"].is_null()) {
    if (!AsNumber(v["amplitude"], &d)) return Refuse(kBadValue, "amplitude", "not a valid value");
    if (!(d >= kMinAmplitude && d <= kMaxAmplitude))
      return Refuse(kRefused, "amplitude", OutOfRange("amplitude", d, kMinAmplitude, kMaxAmplitude, " mV"));
    request.amplitude_mV = d;
  }
  if (v.contains("seed") && !v["seed"].is_null()) {
    if (!AsNumber(v["seed"], &d) || d < 0 || d != std::floor(d) || d > 9e15)
      return Refuse(kBadValue, "seed", "a whole number 0 or more expected");
    request.seed = static_cast<std::uint64_t>(d);
  }
  if (v.contains("params") && !v["params"].is_null()) {
    if (!v["params"].is_object()) return Refuse(kBadValue, "params", "an object of parameters expected");
    for (const auto& [name, value] : v["params"].items()) {
      const auto p = std::find_if(info->params.begin(), info->params.end(),
                                  [&](const RhythmParam& q) { return name == q.name; });
      if (p == info->params.end())
        return Refuse(kRefused, name, name + " not taken: " + info->name +
                                          (info->params.empty() ? " has no parameters" : " takes other parameters"));
      if (!AsNumber(value, &d)) return Refuse(kBadValue, name, "not a valid value");
      if (!(d >= p->min && d <= p->max) || (p->whole && d != std::floor(d)))
        return Refuse(kRefused, name, OutOfRange(name, d, p->min, p->max, p->whole ? " (whole numbers)" : ""));
      request.params[name] = d;
    }
  }

  ChosenRhythm chosen;
  std::string error;
  if (!signals::Render(request, &chosen.rendered, &error)) return Refuse(kRefused, "rhythm", error);
  const std::string beyond = cli::BeyondOutput(chosen.rendered);
  if (!beyond.empty()) return Refuse(kRefused, "amplitude", beyond);

  Json params = Json::object();
  for (const RhythmParam& p : info->params) {
    const auto given = request.params.find(p.name);
    params[p.name] = given == request.params.end() ? p.def : given->second;
  }
  chosen.request = {{"name", info->name}, {"bpm", info->uses_bpm ? Json(request.bpm) : Json(nullptr)},
                    {"amplitude", request.amplitude_mV}, {"seed", request.seed}, {"params", params}};
  chosen.chosen = true;
  *out = std::move(chosen);
  return {0, std::string(info->name) + " rendered"};
}

Outcome SetRhythmPacing(const signals::Rendered& rendered) {
  const signals::Pacing& pacing = rendered.pacing;
  if (pacing.rate_per_min == 0) return {0, "no pacing"};
  int code = SetPacingRate(pacing.rate_per_min);
  if (code == 0) code = SetPacingPulseMode(pacing.mode);
  if (code == 0 && GetPacingAmplitude() == 0) code = SetPacingAmplitude(cli::kPacedPulseDefault_mV);
  if (code != 0) return Refuse(code, "rhythm", "the rhythm's pacing was refused");
  return {0, "pacing at " + Number(pacing.rate_per_min) + " per minute"};
}

}  // namespace orna::panel
