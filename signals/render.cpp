// Checks a request against its rhythm's ranges and renders it.
#include <cmath>
#include <cstdio>

#include "signals/plan.h"

namespace orna::signals {
namespace {

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

std::string Range(double lo, double hi) { return Number(lo) + ".." + Number(hi); }

bool Fail(std::string* error, std::string message) {
  if (error) *error = std::move(message);
  return false;
}

bool Within(double v, double lo, double hi) { return v >= lo && v <= hi; }  // false for NaN

}  // namespace

bool Render(const RhythmRequest& request, Rendered* out, std::string* error) {
  const RhythmInfo* info = FindRhythm(request.name);
  if (!info) {
    std::string known;
    for (const RhythmInfo& r : Rhythms()) known += (known.empty() ? "" : ", ") + std::string(r.name);
    return Fail(error, "unknown rhythm '" + request.name + "' (known: " + known + ")");
  }
  const std::string who = std::string(info->name) + ": ";
  double bpm = request.bpm == 0 ? info->bpm_def : request.bpm;
  if (info->uses_bpm && !Within(bpm, info->bpm_min, info->bpm_max))
    return Fail(error, who + "bpm " + Number(bpm) + " out of range " + Range(info->bpm_min, info->bpm_max));
  if (info->paced && bpm != std::floor(bpm))
    return Fail(error, who + "bpm " + Number(bpm) + " must be a whole number (the pacing rate per minute)");
  if (!Within(request.amplitude_mV, 0.05, 10))
    return Fail(error, who + "amplitude " + Number(request.amplitude_mV) + " mV out of range 0.05..10");

  Settings settings{bpm, request.amplitude_mV, {}, nullptr};
  for (const RhythmParam& p : info->params) settings.params[p.name] = p.def;
  for (const auto& [name, value] : request.params) {
    const RhythmParam* param = nullptr;
    std::string names;
    for (const RhythmParam& p : info->params) {
      if (name == p.name) param = &p;
      names += (names.empty() ? "" : ", ") + std::string(p.name);
    }
    if (!param)
      return Fail(error, who + "unknown parameter '" + name + "' (takes " + (names.empty() ? "none" : names) + ")");
    const double steps = param->step > 0 ? (value - param->min) / param->step : 0;
    if (!Within(value, param->min, param->max) || (param->whole && value != std::floor(value)) ||
        steps != std::floor(steps))
      return Fail(error, who + name + " " + Number(value) + " out of range " + Range(param->min, param->max) +
                             (param->whole ? " (whole numbers)" : "") +
                             (param->step > 0 ? " (steps of " + Number(param->step) + ")" : ""));
    settings.params[name] = value;
  }

  Random random(request.seed);
  settings.random = &random;
  Plan plan;
  FindBuilder(info->name)(settings, &plan);
  *out = Draw(plan);
  return true;
}

}  // namespace orna::signals
