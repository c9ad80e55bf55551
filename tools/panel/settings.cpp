#include "settings.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "ext_api.h"
#include "orna.h"
#include "rhythm_play.h"
#include "rhythm_setting.h"
#include "setting_table.h"
#include "text.h"

namespace orna::panel {

namespace {

using cli::FindSetting;
using cli::SettingKind;
using cli::SettingSpec;
using cli::SettingTable;

// A value from the page or a script: a number, or a string holding one.
bool ToNumber(const Json& v, double* out) {
  if (v.is_number()) {
    *out = v.get<double>();
    return true;
  }
  if (v.is_boolean()) {
    *out = v.get<bool>() ? 1 : 0;
    return true;
  }
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    char* end = nullptr;
    *out = std::strtod(s.c_str(), &end);
    return !s.empty() && *end == 0;
  }
  return false;
}

bool ToInt(const Json& v, int* out) {
  double d;
  if (!ToNumber(v, &d) || !std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 1e9) return false;
  *out = static_cast<int>(d);
  return true;
}

bool ToBool(const Json& v, bool* out) {
  double d;
  if (!ToNumber(v, &d) || (d != 0 && d != 1)) return false;
  *out = d != 0;
  return true;
}

constexpr int kBadValue = -100;  // the panel's own code: not a value of the right kind

std::string TextFor(const SettingSpec* e, int code) {
  if (e) {
    std::string t = ResultText(e->setter, code);
    if (!t.empty()) return t;
  }
  if (code == 0) return "accepted";
  if (code == -1) return "no instrument open";
  if (code == kBadValue) return "not a valid value";
  if (e)
    for (const auto& [c, text] : e->texts)
      if (c == code) return text;
  return "refused (code " + std::to_string(code) + ")";
}

const char* KindName(SettingKind kind) {
  switch (kind) {
    case SettingKind::Number: return "number";
    case SettingKind::Integer: return "integer";
    case SettingKind::Flag: return "boolean";
    case SettingKind::Leads: return "leads";
    case SettingKind::Scan: return "scan";
    case SettingKind::Path: return "path";
    case SettingKind::Choice: return "choice";
  }
  return "";
}

// The page's default, of the setting's own JSON type.
Json PageDefault(const SettingSpec& e) {
  switch (e.kind) {
    case SettingKind::Number: return std::isnan(e.page_default) ? Json(false) : Json(e.page_default);
    case SettingKind::Integer:
    case SettingKind::Choice: return static_cast<int>(e.page_default);
    case SettingKind::Flag: return e.page_default != 0;
    case SettingKind::Leads: return Json::array({static_cast<int>(e.page_default)});
    case SettingKind::Scan: return false;
    case SettingKind::Path: return "";
  }
  return nullptr;
}

}  // namespace

Settings::Settings() : rhythm_(std::make_unique<ChosenRhythm>()) {}
Settings::~Settings() = default;

Json Settings::Schema() {
  Json out = Json::array();
  for (const auto& e : SettingTable()) {
    Json s = {{"name", e.key}, {"kind", KindName(e.kind)}, {"unit", e.unit}, {"default", PageDefault(e)}};
    if (e.kind != SettingKind::Path && e.kind != SettingKind::Flag) {
      s["min"] = e.page_lo;
      s["max"] = e.page_hi;
    }
    // The page offers one pulse (0) and two (1); the library takes any other
    // number for two as well, and the schema has to say what may come back.
    if (std::string(e.key) == "pacing_mode") {
      s["max"] = e.hi;
      s["options"] = Json::array({"single", "double"});
    }
    if (e.kind == SettingKind::Choice) {
      Json names = Json::array();
      for (int f = 0; f <= OutputFuncECGFile; ++f) names.push_back(cli::FunctionName(f));
      s["options"] = names;
    }
    out.push_back(s);
  }
  out.push_back(RhythmSchema());
  return out;
}

int Settings::FunctionNumber(const Json& value) {
  int n;
  if (ToInt(value, &n)) return n >= 0 && n <= OutputFuncECGFile ? n : -1;
  if (!value.is_string()) return -1;
  return cli::FunctionByName(value.get<std::string>());
}

void Settings::Forget() {
  std::lock_guard<std::mutex> lock(m_);
  iec227_ = iec251_ = 0;
  scan_seconds_ = 0;
  rhythm_loaded_ = false;  // a new instrument holds no waveform of ours
}

Json Settings::Current() {
  std::lock_guard<std::mutex> lock(m_);
  const int fn = GetOutputFunc();
  Json leads = Json::array();
  for (int i = 0; i <= 8; ++i)
    if (GetOutputLead(i)) leads.push_back(i);
  const int i227 = fn == OutputFuncIEC227 ? GetSpecialWave227() : iec227_;
  const int i251 = fn == OutputFuncIEC251 ? GetSpecialWave251() : iec251_;
  Json scan = false;
  if (GetFreqScanSine())
    scan = Json::array({GetFreqScanSineStartFreq(), GetFreqScanSineStopFreq(), GetFreqScanSineDuration()});
  return {
      {"function", fn},
      {"amplitude", GetAmplitude()},
      {"frequency", GetFrequency()},
      // Per minute to a millionth: bpm / 60 in hertz does not come back exactly.
      {"bpm", std::round(GetFrequency() * cli::kSecondsPerMinute * 1e6) / 1e6},
      {"pulse_width", GetPulseWidth()},
      {"qrs", GetQRSDuration()},
      {"t_wave", GetTWave()},
      {"iec", fn == OutputFuncIEC251 ? i251 : i227},
      {"iec227", i227},
      {"iec251", i251},
      {"pacing_amplitude", GetPacingAmplitude()},
      {"pacing_width", GetPacingDuration()},
      {"pacing_rate", GetPacingRate()},
      {"pacing_mode", GetPacingPulseMode()},
      {"overshoot", GetOvershootTimeConstant()},
      {"lead", leads},
      {"dc_offset", GetDCOffset()},
      {"dc_variable", GetDCOffsetVariableMode()},
      {"common_mode", GetDCOffsetCommoneMode()},
      {"impedance", GetInputImpedanceMode()},
      {"noise", GetECG2_27_NoiseFreq()},
      {"noise_amplitude", GetECG2_27_NoiseAmp()},
      {"drift", GetECG2_27_AAMIDriftTest()},
      {"dynamic_range", GetDynamicRangeTest() ? Json(GetDynamicRangeTestAmp()) : Json(false)},
      {"dynamic_range_frequency", GetDynamicRangeTestFreq()},
      {"freq_scan_sine", scan},
      {"freq_scan_ecg", GetFreqScanECG() && !GetFreqScanSine()},
      {"baseline_reset", GetBaselineResetTest()},
      {"rhythm", rhythm_->request},
  };
}

double Settings::ScanProgress() {
  std::lock_guard<std::mutex> lock(m_);
  if (!GetFreqScanECG() || scan_seconds_ <= 0) return -1;
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - scan_start_).count();
  return std::min(1.0, s / scan_seconds_);
}

// Loads the chosen rhythm as output 13's waveform, as `orna play rhythm` does.
Outcome Settings::LoadChosenRhythm() {
  const int n = cli::LoadRhythm(rhythm_->rendered);
  rhythm_loaded_ = n > 0;
  if (n > 0) {
    // A paced rhythm brings its pacing, set with its loop.
    if (const Outcome paced = SetRhythmPacing(rhythm_->rendered); paced.code != 0) return paced;
    return {0, std::string(rhythm_->request["name"].get<std::string>()) + " loaded"};
  }
  return {n, std::string("the rhythm was not loaded: ") + cli::RefusalText("OrnaLoadECGSamples", n)};
}

// Plays `function`, the IEC outputs with the waveform picked for them, output
// 13 with the chosen rhythm.
Outcome Settings::Start(int function) {
  if (function == OutputFuncECGFile && rhythm_->chosen && !rhythm_loaded_) {
    if (GetUSBPort()[0] == 0) return {-1, TextFor(FindSetting("function"), -1)};
    const Outcome loaded = LoadChosenRhythm();
    if (loaded.code != 0) return loaded;
  }
  const bool iec = function == OutputFuncIEC227 || function == OutputFuncIEC251;
  const char* setter = nullptr;
  int code = cli::StartFunction(function, function == OutputFuncIEC251 ? iec251_ : iec227_, &setter);
  // The table selectors need no port, but nothing plays without one.
  if (code == 0 && iec && GetUSBPort()[0] == 0) code = -1;
  return {code, TextFor(FindSetting("function"), code)};
}

namespace {

// One value of the kind of a plain setting (one library call of that value)
// into `o`; false when it is not of that kind.
bool ToOption(const SettingSpec& e, const Json& v, cli::PlayOptions* o) {
  double d;
  int i;
  bool b;
  if (e.kind == SettingKind::Number && ToNumber(v, &d)) return o->*(e.real) = d, true;
  if (e.kind == SettingKind::Integer && ToInt(v, &i)) {
    if (e.real) o->*(e.real) = i;
    else o->*(e.integer) = i;
    return true;
  }
  if (e.kind == SettingKind::Flag && ToBool(v, &b)) return o->*(e.flag) = b, true;
  return false;
}

}  // namespace

Outcome Settings::Apply(const std::string& name, const Json& v) {
  if (name == "rhythm") {
    std::lock_guard<std::mutex> lock(m_);
    ChosenRhythm chosen;
    const Outcome o = ChooseRhythm(v, &chosen);
    if (o.code != 0) return o;
    *rhythm_ = std::move(chosen);
    rhythm_loaded_ = false;
    // Output 13 playing takes the new rhythm at once (the load replaces its waveform).
    if (rhythm_->chosen && GetOutputFunc() == OutputFuncECGFile) return LoadChosenRhythm();
    return o;
  }
  const SettingSpec* e = FindSetting(name);
  if (!e) return {kBadValue, "no such setting"};
  std::lock_guard<std::mutex> lock(m_);
  int code = kBadValue;
  double d = 0;
  int i = 0;
  bool b = false;
  auto number = [&] { return ToNumber(v, &d); };
  auto integer = [&] { return ToInt(v, &i); };
  auto boolean = [&] { return ToBool(v, &b); };
  const char* setter = e->setter;

  if (name == "function") {
    const int fn = FunctionNumber(v);
    if (fn < 0) return {-2, TextFor(e, -2)};
    return Start(fn);
  } else if (name == "iec" || name == "iec227" || name == "iec251") {
    const int fn = GetOutputFunc();
    const bool is251 = name == "iec251" || (name == "iec" && fn == OutputFuncIEC251);
    if (is251) setter = "SetSpecialWave251";
    if (integer()) {
      const int count = is251 ? 6 : 10;
      // A waveform for an output not playing is kept until it plays.
      if (fn == (is251 ? OutputFuncIEC251 : OutputFuncIEC227)) {
        code = is251 ? SetSpecialWave251(i) : SetSpecialWave227(i);
      } else {
        code = i < 0 || i >= count ? -2 : 0;
      }
      if (code == 0) (is251 ? iec251_ : iec227_) = i;
    }
  } else if (name == "file") {
    if (v.is_string()) {
      const std::string path = v.get<std::string>();
      std::u16string wide;
      const int n = cli::Utf8ToUtf16(path, &wide) ? LoadECGtxt(wide.c_str()) : -1;
      if (n >= 0) {
        // The file is output 13's waveform now, not the rhythm.
        *rhythm_ = ChosenRhythm{};
        rhythm_loaded_ = false;
        return {0, std::to_string(n) + " samples loaded"};
      }
      code = n;
    }
  } else if (name == "lead") {
    // The leads switched on, exactly: a list of numbers 0..8; only the ones
    // that change are switched.
    std::vector<bool> on(9, false);
    bool ok = v.is_array();
    if (ok)
      for (const auto& x : v) {
        int n;
        if (!ToInt(x, &n) || n < 0 || n > 8) ok = false;
        else on[n] = true;
      }
    if (ok) {
      code = 0;
      for (int n = 0; n <= 8 && code == 0; ++n)
        if (GetOutputLead(n) != on[n]) code = SetOutputLead(n, on[n]);
    }
  } else if (name == "bpm") {
    // Only a heartbeat has a heart rate (or a function yet to be chosen).
    const int fn = GetOutputFunc();
    if (fn != OutputFuncNone && !(e->functions & cli::FunctionBit(fn)))
      return {kBadValue, std::string(cli::FunctionName(fn)) + " is not a heartbeat: set its frequency in Hz"};
    if (!number()) return {kBadValue, TextFor(e, kBadValue)};
    // The library's words for its range would speak of hertz.
    if (!(d >= e->lo && d <= e->hi)) {
      char text[80];
      std::snprintf(text, sizeof text, "heart rate outside %g to %g per minute", e->lo, e->hi);
      return {-2, text};
    }
    cli::PlayOptions o;
    o.bpm = d;
    code = e->apply(o);
  } else if (name == "noise") {
    // A test mode's other value stays as the library has it.
    if (integer()) code = SetECG2_27_Noise(i, GetECG2_27_NoiseAmp());
  } else if (name == "noise_amplitude") {
    if (number()) code = SetECG2_27_Noise(GetECG2_27_NoiseFreq(), d);
  } else if (name == "dynamic_range") {
    // An amplitude switches the overlay on; false (or null) switches it off.
    if (v.is_null() || (v.is_boolean() && !v.get<bool>()))
      code = SetDynamicRangeTest(false, GetDynamicRangeTestAmp(), GetDynamicRangeTestFreq());
    else if (number() && !v.is_boolean())
      code = SetDynamicRangeTest(true, d, GetDynamicRangeTestFreq());
  } else if (name == "dynamic_range_frequency") {
    if (number()) code = SetDynamicRangeTest(GetDynamicRangeTest(), GetDynamicRangeTestAmp(), d);
  } else if (name == "freq_scan_sine") {
    // [start Hz, stop Hz, duration s] starts the scan; false stops it.
    double a, z, s;
    if (v.is_null() || (v.is_boolean() && !v.get<bool>())) {
      code = SetFreqScanSine(false, GetFreqScanSineStartFreq(), GetFreqScanSineStopFreq(),
                             GetFreqScanSineDuration());
    } else if (v.is_array() && v.size() == 3 && ToNumber(v[0], &a) && ToNumber(v[1], &z) &&
               ToNumber(v[2], &s) && s == std::floor(s) && std::fabs(s) < 1e6) {
      code = SetFreqScanSine(true, a, z, static_cast<int>(s));
      if (code == 0) {
        scan_start_ = std::chrono::steady_clock::now();
        scan_seconds_ = s;
      }
    }
  } else if (name == "freq_scan_ecg") {
    if (boolean()) {
      code = SetFreqScanECG(b);
      if (code == 0 && b) {
        scan_start_ = std::chrono::steady_clock::now();
        scan_seconds_ = 30;
      }
    }
  } else {
    // The plain settings: the table's library call of the one value.
    cli::PlayOptions o;
    if (e->apply && ToOption(*e, v, &o)) code = e->apply(o);
  }
  const std::string text = ResultText(setter, code);
  return {code, text.empty() ? TextFor(e, code) : text};
}

}  // namespace orna::panel
