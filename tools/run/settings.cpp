#include "run/settings.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "orna.h"
#include "rhythm_play.h"
#include "setting_table.h"
#include "text.h"

namespace orna::cli::run {

bool AsNumber(const toml::node& n, double* v) {
  if (auto i = n.as_integer()) return *v = static_cast<double>(i->get()), true;
  if (auto f = n.as_floating_point()) return *v = f->get(), true;
  return false;
}

namespace {

using Kind = SettingKind;

// A sequence's settings: `orna play`'s options.
const SettingSpec* Find(const std::string& key) {
  const SettingSpec* s = FindSetting(key);
  return s && s->option ? s : nullptr;
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

// Applies setting `key` from `o`: `iec` to the IEC function playing, the
// others through the table (a test mode's second value applies its test mode).
bool ApplyOne(const std::string& key, const PlayOptions& o, std::string* e) {
  const SettingSpec* s = Find(key);
  if (!s) return true;
  if (key == "iec") {
    if (o.iec < 0) return true;
    const int fn = GetOutputFunc();
    if (fn != OutputFuncIEC227 && fn != OutputFuncIEC251) return true;
    const char* setter = nullptr;
    const int code = StartFunction(fn, o.iec, &setter);
    return Check("iec", setter, code, e);
  }
  if (const SettingSpec* mode = TestModeOf(*s)) s = mode;
  return !s->apply || Check(s->key, s->setter, s->apply(o), e);
}

}  // namespace

bool SetOption(const std::string& key, const toml::node& v, PlayOptions* o, std::string* message) {
  const SettingSpec* s = Find(key);
  if (!s) {
    *message = "unknown setting '" + key + "' (the names of orna play's options, with '_' for '-')";
    return false;
  }
  auto refuse = [&](const std::string& shown) {
    *message = key + " = " + shown + " refused: " +
               (s->range_code != 0 ? RefusalText(s->setter, s->range_code)
                             : (std::string("takes ") + Number(s->lo) + " to " + Number(s->hi)).c_str());
    return false;
  };
  double x = 0;
  switch (s->kind) {
    case Kind::Number:
      // `false` switches a test overlay off.
      if (std::isnan(s->page_default) && v.is_boolean() && !v.as_boolean()->get()) {
        o->*(s->real) = NAN;
        return true;
      }
      if (!AsNumber(v, &x)) return *message = key + " must be a number", false;
      if (!(x >= s->lo && x <= s->hi)) return refuse(Number(x));
      o->*(s->real) = x;
      return true;
    case Kind::Integer:
      if (!AsNumber(v, &x) || x != std::floor(x)) return *message = key + " must be a whole number", false;
      if (!(x >= s->lo && x <= s->hi)) return refuse(Number(x));
      if (s->real) o->*(s->real) = x;
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
        if (x < 0 || x > 8) return *message = "lead = " + Number(x) + " refused: output lead outside 0 to 8", false;
        o->leads.push_back(static_cast<int>(x));
      }
      return true;
    }
    case Kind::Choice:
      break;
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
    const SettingSpec* s = Find(key);
    if (!s) continue;
    if (s->real) to->*(s->real) = from.*(s->real);
    else if (s->integer) to->*(s->integer) = from.*(s->integer);
    else if (s->flag) to->*(s->flag) = from.*(s->flag);
    else if (key == "file") to->file = from.file;
    else if (key == "lead") to->leads = from.leads;
    else if (key == "freq_scan_sine") to->freq_scan_sine = from.freq_scan_sine;
    // The rate is given one way: a new one replaces the other (given together, they are refused).
    if (key == "bpm" && !Has(keys, "frequency")) to->frequency = NAN;
    if (key == "frequency" && !Has(keys, "bpm")) to->bpm = NAN;
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
  if ((fn == OutputFuncPulse || fn == OutputFuncTrianglePulse) && o.frequency > 3)
    return "frequency refused: " + std::string(RefusalText("SetFrequency", -2));
  if (fn == OutputFuncIEC251 && o.iec > 5) return "iec refused: " + std::string(RefusalText("SetSpecialWave251", -2));
  if (fn == OutputFuncECGFile) {
    if (o.file.empty()) return "the 'file' function needs settings.file";
    if (access(o.file.c_str(), R_OK) != 0) return "cannot read file " + o.file;
  }
  if (std::abs(o.dc_offset) > (o.dc_variable ? 1000 : 300))
    return "dc_offset refused: " + std::string(RefusalText("SetDCOffset", -2));
  if (o.baseline_reset > 0 && (Has(keys, "amplitude") || Has(keys, "frequency")) && !Has(keys, "baseline_reset"))
    return "amplitude and frequency are fixed while the baseline reset test runs";
  if ((o.freq_scan_sine.size() == 3 || o.freq_scan_ecg) && (Has(keys, "frequency") || Has(keys, "bpm")) &&
      !Has(keys, "freq_scan_sine") && !Has(keys, "freq_scan_ecg"))
    return std::string(Has(keys, "bpm") ? "bpm" : "frequency") + " is fixed while a frequency scan runs";
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

bool ApplyAll(const PlayOptions& st, int fn, const PlayOptions& d, std::string* error,
              const signals::Rendered* rhythm) {
  // Test modes off first, the last to start first: some of them hold the
  // amplitude or frequency.
  PlayOptions off;
  off.baseline_reset = 0;
  const auto& table = SettingTable();
  for (auto s = table.rbegin(); s != table.rend(); ++s)
    if (s->test_mode && !s->part_of[0]) ApplyOne(s->key, off, error);
  PlayOptions o = st;
  auto pick = [](double v, double dv) { return std::isnan(v) ? dv : v; };
  o.amplitude = pick(st.amplitude, d.amplitude);
  o.frequency = pick(FrequencyOf(st), d.frequency);
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
  if ((fn == OutputFuncPulse || fn == OutputFuncTrianglePulse) && o.frequency > 3) o.frequency = 3;
  // The frequency carries a heart rate given.
  for (const auto& s : table)
    if (s.option && !s.test_mode && s.kind != Kind::Path && s.integer != &PlayOptions::iec &&
        s.real != &PlayOptions::bpm && !ApplyOne(s.key, o, error))
      return false;
  if (fn == OutputFuncECGFile && rhythm) {
    if (const int n = LoadRhythm(*rhythm); n <= 0)
      return *error = std::string("the rhythm was not loaded: ") + RefusalText("OrnaLoadECGSamples", n), false;
  } else if (fn == OutputFuncECGFile) {
    std::u16string path;
    if (!Utf8ToUtf16(o.file, &path)) return *error = "cannot load " + o.file + ": the name is not valid UTF-8", false;
    const int n = LoadECGtxt(path.c_str());
    if (n <= 0) return *error = "cannot load " + o.file + ": " + RefusalText("LoadECGtxt", n), false;
  }
  const char* setter = nullptr;
  const int started = StartFunction(fn, std::max(0, o.iec), &setter);
  if (!Check(fn == OutputFuncIEC227 || fn == OutputFuncIEC251 ? "iec" : "function", setter, started, error))
    return false;
  for (const auto& s : table)
    if (s.test_mode && !s.part_of[0] && TestModeOn(s, o) && !ApplyOne(s.key, o, error)) return false;
  return true;
}

bool ApplyChanges(const PlayOptions& o, const std::vector<std::string>& keys, std::string* error) {
  // Test modes that end go first (they hold amplitude or frequency), then the
  // settings in the table's order, then the test modes that begin.
  auto test_mode = [](const std::string& key) {
    const SettingSpec* s = Find(key);
    return s ? TestModeOf(*s) : nullptr;
  };
  for (const auto& key : keys)
    if (const SettingSpec* mode = test_mode(key); mode && !TestModeOn(*mode, o) && !ApplyOne(key, o, error))
      return false;
  for (const auto& s : SettingTable())
    if (s.option && !s.test_mode && Has(keys, s.key) && !ApplyOne(s.key, o, error)) return false;
  for (const auto& key : keys)
    if (const SettingSpec* mode = test_mode(key); mode && TestModeOn(*mode, o) && !ApplyOne(key, o, error))
      return false;
  return true;
}

}  // namespace orna::cli::run
