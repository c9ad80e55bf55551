#include "run/settings.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "orna.h"

namespace orna::cli::run {

namespace {

enum class Kind { Real, Integer, Flag, Leads, Scan, Path };

struct Setting {
  const char* key;
  Kind kind;
  double lo, hi;
  const char* setter;  // library function, for the refusal text
  int code;            // its result code for an out-of-range value
  double PlayOptions::*real;
  int PlayOptions::*integer;
  bool PlayOptions::*flag;
};

// One row per `orna play` option; test modes come last, as they are applied
// after the function has started.
const Setting kSettings[] = {
    {"amplitude", Kind::Real, -10, 10, "SetAmplitude", -2, &PlayOptions::amplitude, nullptr, nullptr},
    {"frequency", Kind::Real, 0.05, 500, "SetFrequency", -2, &PlayOptions::frequency, nullptr, nullptr},
    {"pulse_width", Kind::Real, 2, 300, "SetPulseWidth", -2, &PlayOptions::pulse_width, nullptr, nullptr},
    {"qrs", Kind::Real, 5, 200, "SetQRSDuration", -2, &PlayOptions::qrs, nullptr, nullptr},
    {"t_wave", Kind::Real, 0, 2.5, "SetTWave", -2, &PlayOptions::t_wave, nullptr, nullptr},
    {"iec", Kind::Integer, 0, 9, "SetSpecialWave227", -2, nullptr, &PlayOptions::iec, nullptr},
    {"file", Kind::Path, 0, 0, "LoadECGtxt", -1, nullptr, nullptr, nullptr},
    {"pacing_width", Kind::Real, 0.1, 3, "SetPacingDuration", -2, &PlayOptions::pacing_width, nullptr, nullptr},
    {"pacing_rate", Kind::Integer, 10, 300, "SetPacingRate", -2, nullptr, &PlayOptions::pacing_rate, nullptr},
    {"pacing_mode", Kind::Integer, 0, 1e9, "SetPacingPulseMode", -2, nullptr, &PlayOptions::pacing_mode, nullptr},
    {"overshoot", Kind::Integer, 0, 100, "SetOvershootTimeConstant", -2, nullptr, nullptr, nullptr},
    {"pacing_amplitude", Kind::Real, -700, 700, "SetPacingAmplitude", -2, &PlayOptions::pacing_amplitude, nullptr, nullptr},
    {"dc_variable", Kind::Flag, 0, 0, "", 0, nullptr, nullptr, &PlayOptions::dc_variable},
    {"dc_offset", Kind::Integer, -1000, 1000, "SetDCOffset", -2, nullptr, &PlayOptions::dc_offset, nullptr},
    {"lead", Kind::Leads, 0, 8, "SetOutputLead", -2, nullptr, nullptr, nullptr},
    {"impedance", Kind::Flag, 0, 0, "", 0, nullptr, nullptr, &PlayOptions::impedance},
    {"common_mode", Kind::Flag, 0, 0, "", 0, nullptr, nullptr, &PlayOptions::common_mode},
    // Test modes.
    {"noise", Kind::Integer, 0, 2, "", 0, nullptr, &PlayOptions::noise, nullptr},
    {"noise_amplitude", Kind::Real, 0.01, 0.2, "SetECG2_27_Noise", -3, &PlayOptions::noise_amplitude, nullptr, nullptr},
    {"drift", Kind::Flag, 0, 0, "", 0, nullptr, nullptr, &PlayOptions::drift},
    {"dynamic_range", Kind::Real, 0, 5, "SetDynamicRangeTest", -3, &PlayOptions::dynamic_range_amplitude, nullptr, nullptr},
    {"dynamic_range_frequency", Kind::Real, 10, 50, "SetDynamicRangeTest", -4, &PlayOptions::dynamic_range_frequency, nullptr, nullptr},
    {"freq_scan_sine", Kind::Scan, 0.67, 500, "SetFreqScanSine", -2, nullptr, nullptr, nullptr},
    {"freq_scan_ecg", Kind::Flag, 0, 0, "", 0, nullptr, nullptr, &PlayOptions::freq_scan_ecg},
    {"baseline_reset", Kind::Integer, 0, 4, "", 0, nullptr, &PlayOptions::baseline_reset, nullptr},
};

const Setting* Find(const std::string& key) {
  for (const auto& s : kSettings)
    if (key == s.key) return &s;
  return nullptr;
}

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

bool AsNumber(const toml::node& n, double* v) {
  if (auto i = n.as_integer()) return *v = static_cast<double>(i->get()), true;
  if (auto f = n.as_floating_point()) return *v = f->get(), true;
  return false;
}

// Play's messages name options ("--pacing-width"); a sequence names keys.
std::string AsKeys(std::string s) {
  for (std::size_t i; (i = s.find("--")) != std::string::npos;) {
    s.erase(i, 2);
    for (std::size_t j = i; j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '-'); ++j)
      if (s[j] == '-') s[j] = '_';
  }
  return s;
}

bool Has(const std::vector<std::string>& keys, const char* key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool Check(const char* what, const char* function, int result, std::string* error) {
  if (result == 0) return true;
  *error = std::string(what) + " refused: " + RefusalText(function, result);
  return false;
}

// Applies one non-test-mode setting from `o`.
bool ApplyOne(const std::string& key, const PlayOptions& o, std::string* e) {
  if (key == "amplitude") return Check("amplitude", "SetAmplitude", SetAmplitude(o.amplitude), e);
  if (key == "frequency") return Check("frequency", "SetFrequency", SetFrequency(o.frequency), e);
  if (key == "pulse_width") return Check("pulse_width", "SetPulseWidth", SetPulseWidth(o.pulse_width), e);
  if (key == "qrs") return Check("qrs", "SetQRSDuration", SetQRSDuration(o.qrs), e);
  if (key == "t_wave") return Check("t_wave", "SetTWave", SetTWave(o.t_wave), e);
  if (key == "iec") {
    if (o.iec < 0) return true;
    const int fn = GetOutputFunc();
    if (fn == 8) return Check("iec", "SetSpecialWave227", SetSpecialWave227(o.iec), e);
    if (fn == 9) return Check("iec", "SetSpecialWave251", SetSpecialWave251(o.iec), e);
    return true;
  }
  if (key == "pacing_width") return Check("pacing_width", "SetPacingDuration", SetPacingDuration(o.pacing_width), e);
  if (key == "pacing_rate") return Check("pacing_rate", "SetPacingRate", SetPacingRate(o.pacing_rate), e);
  if (key == "pacing_mode") return Check("pacing_mode", "SetPacingPulseMode", SetPacingPulseMode(o.pacing_mode), e);
  if (key == "overshoot")
    return Check("overshoot", "SetOvershootTimeConstant", SetOvershootTimeConstant(static_cast<int>(o.overshoot)), e);
  if (key == "pacing_amplitude")
    return Check("pacing_amplitude", "SetPacingAmplitude", SetPacingAmplitude(o.pacing_amplitude), e);
  if (key == "dc_variable")
    return Check("dc_variable", "SetDCOffsetVariableMode", SetDCOffsetVariableMode(o.dc_variable), e);
  if (key == "dc_offset") return Check("dc_offset", "SetDCOffset", SetDCOffset(o.dc_offset), e);
  if (key == "lead") {
    for (int lead = 0; lead <= 8; ++lead) {
      const bool on = std::find(o.leads.begin(), o.leads.end(), lead) != o.leads.end();
      if (!Check("lead", "SetOutputLead", SetOutputLead(lead, on), e)) return false;
    }
    return true;
  }
  if (key == "impedance") return Check("impedance", "SetInputImpedanceMode", SetInputImpedanceMode(o.impedance), e);
  if (key == "common_mode")
    return Check("common_mode", "SetDCOffsetCommoneMode", SetDCOffsetCommoneMode(o.common_mode), e);
  return true;
}

bool ApplyTestMode(const std::string& key, const PlayOptions& o, std::string* e) {
  const double noise_amplitude = std::isnan(o.noise_amplitude) ? 0.1 : o.noise_amplitude;
  if (key == "noise" || key == "noise_amplitude")
    return Check("noise", "SetECG2_27_Noise", SetECG2_27_Noise(std::max(0, o.noise), noise_amplitude), e);
  if (key == "drift") return Check("drift", "SetECG2_27_AAMIDriftTest", SetECG2_27_AAMIDriftTest(o.drift), e);
  if (key == "dynamic_range" || key == "dynamic_range_frequency") {
    const bool on = !std::isnan(o.dynamic_range_amplitude);
    const double f = std::isnan(o.dynamic_range_frequency) ? 30 : o.dynamic_range_frequency;
    return Check("dynamic_range", "SetDynamicRangeTest",
                 SetDynamicRangeTest(on, on ? o.dynamic_range_amplitude : 0, f), e);
  }
  if (key == "freq_scan_sine") {
    if (o.freq_scan_sine.size() != 3) return Check("freq_scan_sine", "SetFreqScanSine", SetFreqScanSine(false, 1, 1, 10), e);
    return Check("freq_scan_sine", "SetFreqScanSine",
                 SetFreqScanSine(true, o.freq_scan_sine[0], o.freq_scan_sine[1], static_cast<int>(o.freq_scan_sine[2])), e);
  }
  if (key == "freq_scan_ecg") return Check("freq_scan_ecg", "SetFreqScanECG", SetFreqScanECG(o.freq_scan_ecg), e);
  if (key == "baseline_reset")
    return Check("baseline_reset", "SetBaselineResetTest", SetBaselineResetTest(std::max(0, o.baseline_reset)), e);
  return true;
}

bool IsTestMode(const std::string& key) {
  const Setting* s = Find(key);
  return s && s >= Find("noise");
}

}  // namespace

bool SetOption(const std::string& key, const toml::node& v, PlayOptions* o, std::string* message) {
  const Setting* s = Find(key);
  if (!s) {
    *message = "unknown setting '" + key + "' (the names of orna play's options, with '_' for '-')";
    return false;
  }
  auto refuse = [&](const std::string& shown) {
    *message = key + " = " + shown + " refused: " +
               (s->setter[0] ? RefusalText(s->setter, s->code)
                             : (std::string("takes ") + Num(s->lo) + " to " + Num(s->hi)).c_str());
    return false;
  };
  double x = 0;
  switch (s->kind) {
    case Kind::Real:
      // `false` switches a test overlay off.
      if (key == "dynamic_range" && v.is_boolean() && !v.as_boolean()->get()) {
        o->dynamic_range_amplitude = NAN;
        return true;
      }
      if (!AsNumber(v, &x)) return *message = key + " must be a number", false;
      if (!(x >= s->lo && x <= s->hi)) return refuse(Num(x));
      o->*(s->real) = x;
      return true;
    case Kind::Integer:
      if (!AsNumber(v, &x) || x != std::floor(x)) return *message = key + " must be a whole number", false;
      if (!(x >= s->lo && x <= s->hi)) return refuse(Num(x));
      if (key == "overshoot") o->overshoot = x;
      else o->*(s->integer) = static_cast<int>(x);
      return true;
    case Kind::Flag:
      if (!v.is_boolean()) return *message = key + " must be true or false", false;
      o->*(s->flag) = v.as_boolean()->get();
      return true;
    case Kind::Path:
      if (!v.is_string() || v.as_string()->get().empty()) return *message = key + " must be a file name", false;
      o->file = v.as_string()->get();
      return true;
    case Kind::Leads: {
      o->leads.clear();
      auto* a = v.as_array();
      if (!a) return *message = "lead must be a list of lead numbers, e.g. [0, 1]", false;
      for (const auto& n : *a) {
        if (!AsNumber(n, &x) || x != std::floor(x)) return *message = "lead must be a list of whole numbers", false;
        if (x < 0 || x > 8) return *message = "lead = " + Num(x) + " refused: output lead outside 0 to 8", false;
        o->leads.push_back(static_cast<int>(x));
      }
      return true;
    }
    case Kind::Scan: {
      o->freq_scan_sine.clear();
      if (v.is_boolean() && !v.as_boolean()->get()) return true;
      auto* a = v.as_array();
      double p[3];
      if (!a || a->size() != 3 || !AsNumber(*a->get(0), &p[0]) || !AsNumber(*a->get(1), &p[1]) ||
          !AsNumber(*a->get(2), &p[2]))
        return *message = "freq_scan_sine must be [start Hz, stop Hz, duration s] (or false)", false;
      const int codes[3] = {-2, -3, -4};
      const double lo[3] = {0.67, 0.67, 10}, hi[3] = {500, 500, 180};
      for (int i = 0; i < 3; ++i)
        if (!(p[i] >= lo[i] && p[i] <= hi[i]))
          return *message = "freq_scan_sine refused: " + std::string(RefusalText("SetFreqScanSine", codes[i])), false;
      o->freq_scan_sine.assign(p, p + 3);
      return true;
    }
  }
  return false;
}

void MergeOptions(const PlayOptions& from, const std::vector<std::string>& keys, PlayOptions* to) {
  for (const auto& key : keys) {
    const Setting* s = Find(key);
    if (!s) continue;
    if (key == "overshoot") to->overshoot = from.overshoot;
    else if (s->real) to->*(s->real) = from.*(s->real);
    else if (s->integer) to->*(s->integer) = from.*(s->integer);
    else if (s->flag) to->*(s->flag) = from.*(s->flag);
    else if (key == "file") to->file = from.file;
    else if (key == "lead") to->leads = from.leads;
    else if (key == "freq_scan_sine") to->freq_scan_sine = from.freq_scan_sine;
  }
}

std::string CheckFit(const PlayOptions& st, int fn, const std::vector<std::string>& keys) {
  PlayOptions o = st;
  // "Off" values are no misfit.
  if (o.noise == 0) o.noise = -1;
  if (o.baseline_reset == 0) o.baseline_reset = -1;
  if (!std::isnan(o.pacing_amplitude) && o.pacing_amplitude == 0 && !Has(keys, "pacing_width") &&
      !Has(keys, "pacing_rate") && !Has(keys, "pacing_mode") && !Has(keys, "overshoot"))
    o.pacing_width = o.overshoot = NAN, o.pacing_rate = o.pacing_mode = -1;
  std::string misfit = MisfitSetting(o, fn);
  if (!misfit.empty()) return AsKeys(misfit);
  if ((fn == 4 || fn == 5) && o.frequency > 3)
    return "frequency refused: " + std::string(RefusalText("SetFrequency", -2));
  if (fn == 9 && o.iec > 5) return "iec refused: " + std::string(RefusalText("SetSpecialWave251", -2));
  if (fn == 13) {
    if (o.file.empty()) return "the 'file' function needs settings.file";
    if (access(o.file.c_str(), R_OK) != 0) return "cannot read file " + o.file;
  }
  if (std::abs(o.dc_offset) > (o.dc_variable ? 1000 : 300))
    return "dc_offset refused: " + std::string(RefusalText("SetDCOffset", -2));
  if (o.baseline_reset > 0 && (Has(keys, "amplitude") || Has(keys, "frequency")) && !Has(keys, "baseline_reset"))
    return "amplitude and frequency are fixed while the baseline reset test runs";
  if ((o.freq_scan_sine.size() == 3 || o.freq_scan_ecg) && Has(keys, "frequency") &&
      !Has(keys, "freq_scan_sine") && !Has(keys, "freq_scan_ecg"))
    return "frequency is fixed while a frequency scan runs";
  return "";
}

PlayOptions ReadDefaults() {
  PlayOptions d;
  d.amplitude = GetAmplitude();
  d.frequency = GetFrequency();
  d.pulse_width = GetPulseWidth();
  d.qrs = GetQRSDuration();
  d.t_wave = GetTWave();
  d.pacing_amplitude = GetPacingAmplitude();
  d.pacing_width = GetPacingDuration();
  d.pacing_rate = GetPacingRate();
  d.pacing_mode = GetPacingPulseMode();
  d.overshoot = GetOvershootTimeConstant();
  d.dc_offset = GetDCOffset();
  d.dc_variable = GetDCOffsetVariableMode();
  d.common_mode = GetDCOffsetCommoneMode();
  d.impedance = GetInputImpedanceMode();
  for (int lead = 0; lead <= 8; ++lead)
    if (GetOutputLead(lead)) d.leads.push_back(lead);
  return d;
}

bool ApplyAll(const PlayOptions& st, int fn, const PlayOptions& d, std::string* error) {
  // Test modes off first: some of them hold the amplitude or frequency.
  PlayOptions off;
  for (const char* key : {"baseline_reset", "freq_scan_sine", "freq_scan_ecg", "dynamic_range", "drift", "noise"})
    ApplyTestMode(key, off, error);
  PlayOptions o = st;
  auto pick = [](double v, double dv) { return std::isnan(v) ? dv : v; };
  o.amplitude = pick(st.amplitude, d.amplitude);
  o.frequency = pick(st.frequency, d.frequency);
  o.pulse_width = pick(st.pulse_width, d.pulse_width);
  o.qrs = pick(st.qrs, d.qrs);
  o.t_wave = pick(st.t_wave, d.t_wave);
  o.pacing_amplitude = pick(st.pacing_amplitude, d.pacing_amplitude);
  o.pacing_width = pick(st.pacing_width, d.pacing_width);
  o.overshoot = pick(st.overshoot, d.overshoot);
  if (st.pacing_rate < 0) o.pacing_rate = d.pacing_rate;
  if (st.pacing_mode < 0) o.pacing_mode = d.pacing_mode;
  if (st.leads.empty()) o.leads = d.leads;
  // Pulse functions would refuse a faster rate than theirs before they start.
  if ((fn == 4 || fn == 5) && o.frequency > 3) o.frequency = 3;
  for (const char* key : {"amplitude", "frequency", "pulse_width", "qrs", "t_wave", "pacing_width", "pacing_rate",
                          "pacing_mode", "overshoot", "pacing_amplitude", "dc_variable", "dc_offset", "lead",
                          "impedance", "common_mode"})
    if (!ApplyOne(key, o, error)) return false;
  if (fn == 13) {
    std::u16string path(o.file.begin(), o.file.end());
    const int n = LoadECGtxt(path.c_str());
    if (n <= 0) return *error = "cannot load " + o.file + ": " + RefusalText("LoadECGtxt", n), false;
  }
  const int iec = std::max(0, o.iec);
  const int started = fn == 8 ? SetSpecialWave227(iec) : fn == 9 ? SetSpecialWave251(iec) : SetOutputFunc(fn);
  if (!Check(fn == 8 || fn == 9 ? "iec" : "function",
             fn == 8 ? "SetSpecialWave227" : fn == 9 ? "SetSpecialWave251" : "SetOutputFunc", started, error))
    return false;
  if (o.noise > 0 && !ApplyTestMode("noise", o, error)) return false;
  if (o.drift && !ApplyTestMode("drift", o, error)) return false;
  if (!std::isnan(o.dynamic_range_amplitude) && !ApplyTestMode("dynamic_range", o, error)) return false;
  if (o.freq_scan_sine.size() == 3 && !ApplyTestMode("freq_scan_sine", o, error)) return false;
  if (o.freq_scan_ecg && !ApplyTestMode("freq_scan_ecg", o, error)) return false;
  if (o.baseline_reset > 0 && !ApplyTestMode("baseline_reset", o, error)) return false;
  return true;
}

bool ApplyChanges(const PlayOptions& o, const std::vector<std::string>& keys, std::string* error) {
  // Test modes that end go first (they hold amplitude or frequency), then the
  // settings in the table's order, then the test modes that begin.
  auto on = [&](const std::string& key) {
    if (key == "noise" || key == "noise_amplitude") return o.noise > 0;
    if (key == "drift") return o.drift;
    if (key == "dynamic_range" || key == "dynamic_range_frequency") return !std::isnan(o.dynamic_range_amplitude);
    if (key == "freq_scan_sine") return o.freq_scan_sine.size() == 3;
    if (key == "freq_scan_ecg") return o.freq_scan_ecg;
    return o.baseline_reset > 0;
  };
  for (const auto& key : keys)
    if (IsTestMode(key) && !on(key) && !ApplyTestMode(key, o, error)) return false;
  for (const auto& s : kSettings)
    if (!IsTestMode(s.key) && Has(keys, s.key) && !ApplyOne(s.key, o, error)) return false;
  for (const auto& key : keys)
    if (IsTestMode(key) && on(key) && !ApplyTestMode(key, o, error)) return false;
  return true;
}

}  // namespace orna::cli::run
