#include "settings.h"

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "ext_api.h"
#include "orna.h"

namespace orna::panel {

namespace {

const char* const kFunctionNames[] = {
    "none",         "sine",        "triangle", "square", "pulse",      "triangle-pulse",
    "exponential",  "cal-ecg",     "iec227",   "iec251", "ecg-notched", "ecg-single",
    "biexponential", "file"};

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

struct Entry {
  const char* name;
  const char* setter;  // the library call, for its result texts
  const char* kind;    // number, integer, boolean, choice, leads, scan, path
  const char* unit;
  double min, max;
  Json def;
  // Words for the setter's refusal codes, used when the library has none.
  std::vector<std::pair<int, const char*>> texts;
};

// Ranges and defaults as the library documents and resets them.
const std::vector<Entry>& Table() {
  static const std::vector<Entry> t = {
      {"function", "SetOutputFunc", "choice", "", 0, 13, 0, {{-2, "no such output function"}}},
      {"amplitude", "SetAmplitude", "number", "mV", -10, 10, 1.0,
       {{-2, "out of range (-10..10 mV)"}, {-3, "the baseline reset test sets the amplitude"}}},
      {"frequency", "SetFrequency", "number", "Hz", 0.05, 500, 1.0,
       {{-2, "out of range (0.05..500 Hz, 3 Hz with pulse outputs)"},
        {-3, "a frequency scan is running"},
        {-4, "the baseline reset test sets the frequency"}}},
      {"pulse_width", "SetPulseWidth", "number", "ms", 2, 300, 100.0, {{-2, "out of range (2..300 ms)"}}},
      {"qrs", "SetQRSDuration", "number", "ms", 5, 200, 100.0, {{-2, "out of range (5..200 ms)"}}},
      {"t_wave", "SetTWave", "number", "mV", 0, 2.5, 0.2, {{-2, "out of range (0..2.5 mV)"}}},
      {"iec", "SetSpecialWave227", "integer", "", 0, 9, 0, {{-2, "no such waveform"}}},
      {"iec227", "SetSpecialWave227", "integer", "", 0, 9, 0, {{-2, "no such waveform (0..9)"}}},
      {"iec251", "SetSpecialWave251", "integer", "", 0, 5, 0, {{-2, "no such waveform (0..5)"}}},
      {"file", "LoadECGtxt", "path", "", 0, 0, "",
       {{-1, "cannot open the file"}, {-2, "bad sample rate"}, {-3, "bad sample count"},
        {-4, "no memory for the samples"}}},
      {"pacing_amplitude", "SetPacingAmplitude", "number", "mV", -700, 700, 0.0,
       {{-2, "out of range (-700..700 mV)"}}},
      {"pacing_width", "SetPacingDuration", "number", "ms", 0.1, 3, 2.0, {{-2, "out of range (0.1..3 ms)"}}},
      {"pacing_rate", "SetPacingRate", "integer", "/min", 10, 300, 60, {{-2, "out of range (10..300 /min)"}}},
      {"pacing_mode", "SetPacingPulseMode", "integer", "", 0, 1, 0, {}},
      {"overshoot", "SetOvershootTimeConstant", "integer", "ms", 0, 100, 0, {{-2, "out of range (0..100 ms)"}}},
      {"lead", "SetOutputLead", "leads", "", 0, 8, Json::array({0}), {{-2, "no such lead"}}},
      {"dc_offset", "SetDCOffset", "integer", "mV", -300, 300, 0,
       {{-2, "out of range (-300..300 mV, -1000..1000 mV in variable mode)"}}},
      {"dc_variable", "SetDCOffsetVariableMode", "boolean", "", 0, 1, false, {}},
      {"common_mode", "SetDCOffsetCommoneMode", "boolean", "", 0, 1, false, {}},
      {"impedance", "SetInputImpedanceMode", "boolean", "", 0, 1, true, {}},
      {"noise", "SetECG2_27_Noise", "integer", "", 0, 2, 0,
       {{-2, "mains noise needs the calibration ECG"}, {-3, "amplitude out of range (0.01..0.2 mV)"}}},
      {"noise_amplitude", "SetECG2_27_Noise", "number", "mV", 0.01, 0.2, 0.1,
       {{-2, "mains noise needs the calibration ECG"}, {-3, "out of range (0.01..0.2 mV)"}}},
      {"drift", "SetECG2_27_AAMIDriftTest", "boolean", "", 0, 1, false,
       {{-2, "the drift test needs the calibration ECG"}}},
      {"dynamic_range", "SetDynamicRangeTest", "number", "mV", 0, 5, false,
       {{-2, "the dynamic-range test needs the triangle or square output"},
        {-3, "amplitude out of range (0..5 mV)"}, {-4, "frequency out of range (10..50 Hz)"}}},
      {"dynamic_range_frequency", "SetDynamicRangeTest", "number", "Hz", 10, 50, 40.0,
       {{-2, "the dynamic-range test needs the triangle or square output"},
        {-3, "amplitude out of range (0..5 mV)"}, {-4, "out of range (10..50 Hz)"}}},
      {"freq_scan_sine", "SetFreqScanSine", "scan", "", 0.67, 500, false,
       {{-2, "start frequency out of range (0.67..500 Hz)"},
        {-3, "stop frequency out of range (0.67..500 Hz)"},
        {-4, "duration out of range (10..180 s)"}}},
      {"freq_scan_ecg", "SetFreqScanECG", "boolean", "", 0, 1, false, {}},
      {"baseline_reset", "SetBaselineResetTest", "integer", "", 0, 4, 0,
       {{-2, "the baseline reset test needs the sine output"}}},
  };
  return t;
}

const Entry* Find(const std::string& name) {
  for (const auto& e : Table())
    if (name == e.name) return &e;
  return nullptr;
}

std::string TextFor(const Entry* e, int code) {
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

}  // namespace

Json Settings::Schema() {
  Json out = Json::array();
  for (const auto& e : Table()) {
    Json s = {{"name", e.name}, {"kind", e.kind}, {"unit", e.unit}, {"default", e.def}};
    if (std::string(e.kind) != "path" && std::string(e.kind) != "boolean") {
      s["min"] = e.min;
      s["max"] = e.max;
    }
    if (std::string(e.name) == "function") {
      Json names = Json::array();
      for (const char* n : kFunctionNames) names.push_back(n);
      s["options"] = names;
    }
    out.push_back(s);
  }
  return out;
}

int Settings::FunctionNumber(const Json& value) {
  int n;
  if (ToInt(value, &n)) return n >= 0 && n <= 13 ? n : -1;
  if (!value.is_string()) return -1;
  const std::string s = value.get<std::string>();
  if (s == "ecg") return 10;
  for (int i = 0; i <= 13; ++i)
    if (s == kFunctionNames[i]) return i;
  return -1;
}

void Settings::Forget() {
  std::lock_guard<std::mutex> lock(m_);
  iec227_ = iec251_ = 0;
  scan_seconds_ = 0;
}

Json Settings::Current() {
  std::lock_guard<std::mutex> lock(m_);
  const int fn = GetOutputFunc();
  Json leads = Json::array();
  for (int i = 0; i <= 8; ++i)
    if (GetOutputLead(i)) leads.push_back(i);
  const int i227 = fn == 8 ? GetSpecialWave227() : iec227_;
  const int i251 = fn == 9 ? GetSpecialWave251() : iec251_;
  Json scan = false;
  if (GetFreqScanSine())
    scan = Json::array({GetFreqScanSineStartFreq(), GetFreqScanSineStopFreq(), GetFreqScanSineDuration()});
  return {
      {"function", fn},
      {"amplitude", GetAmplitude()},
      {"frequency", GetFrequency()},
      {"pulse_width", GetPulseWidth()},
      {"qrs", GetQRSDuration()},
      {"t_wave", GetTWave()},
      {"iec", fn == 9 ? i251 : i227},
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
  };
}

double Settings::ScanProgress() {
  std::lock_guard<std::mutex> lock(m_);
  if (!GetFreqScanECG() || scan_seconds_ <= 0) return -1;
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - scan_start_).count();
  return std::min(1.0, s / scan_seconds_);
}

// Plays `function`, the IEC outputs with the waveform picked for them.
Outcome Settings::Start(int function) {
  int code = function == 8   ? SetSpecialWave227(iec227_)
             : function == 9 ? SetSpecialWave251(iec251_)
                             : SetOutputFunc(function);
  // The table selectors need no port, but nothing plays without one.
  if (code == 0 && (function == 8 || function == 9) && GetUSBPort()[0] == 0) code = -1;
  return {code, TextFor(Find("function"), code)};
}

Outcome Settings::Apply(const std::string& name, const Json& v) {
  const Entry* e = Find(name);
  if (!e) return {kBadValue, "no such setting"};
  std::lock_guard<std::mutex> lock(m_);
  int code = kBadValue;
  double d = 0;
  int i = 0;
  bool b = false;
  const std::string kind = e->kind;
  auto number = [&] { return ToNumber(v, &d); };
  auto integer = [&] { return ToInt(v, &i); };
  auto boolean = [&] { return ToBool(v, &b); };
  const char* setter = e->setter;

  if (name == "function") {
    const int fn = FunctionNumber(v);
    if (fn < 0) return {-2, TextFor(e, -2)};
    return Start(fn);
  } else if (name == "amplitude") {
    if (number()) code = SetAmplitude(d);
  } else if (name == "frequency") {
    if (number()) code = SetFrequency(d);
  } else if (name == "pulse_width") {
    if (number()) code = SetPulseWidth(d);
  } else if (name == "qrs") {
    if (number()) code = SetQRSDuration(d);
  } else if (name == "t_wave") {
    if (number()) code = SetTWave(d);
  } else if (name == "iec" || name == "iec227" || name == "iec251") {
    const int fn = GetOutputFunc();
    const bool is251 = name == "iec251" || (name == "iec" && fn == 9);
    if (is251) setter = "SetSpecialWave251";
    if (integer()) {
      const int count = is251 ? 6 : 10;
      // A waveform for an output not playing is kept until it plays.
      if (fn == (is251 ? 9 : 8)) {
        code = is251 ? SetSpecialWave251(i) : SetSpecialWave227(i);
      } else {
        code = i < 0 || i >= count ? -2 : 0;
      }
      if (code == 0) (is251 ? iec251_ : iec227_) = i;
    }
  } else if (name == "file") {
    if (v.is_string()) {
      const std::string path = v.get<std::string>();
      const std::u16string wide(path.begin(), path.end());
      const int n = LoadECGtxt(wide.c_str());
      if (n >= 0) return {0, std::to_string(n) + " samples loaded"};
      code = n;
    }
  } else if (name == "pacing_amplitude") {
    if (number()) code = SetPacingAmplitude(d);
  } else if (name == "pacing_width") {
    if (number()) code = SetPacingDuration(d);
  } else if (name == "pacing_rate") {
    if (integer()) code = SetPacingRate(i);
  } else if (name == "pacing_mode") {
    if (integer()) code = SetPacingPulseMode(i);
  } else if (name == "overshoot") {
    if (integer()) code = SetOvershootTimeConstant(i);
  } else if (name == "lead") {
    // The leads switched on, exactly: a list of numbers 0..8.
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
  } else if (name == "dc_offset") {
    if (integer()) code = SetDCOffset(i);
  } else if (name == "dc_variable") {
    if (boolean()) code = SetDCOffsetVariableMode(b);
  } else if (name == "common_mode") {
    if (boolean()) code = SetDCOffsetCommoneMode(b);
  } else if (name == "impedance") {
    if (boolean()) code = SetInputImpedanceMode(b);
  } else if (name == "noise") {
    if (integer()) code = SetECG2_27_Noise(i, GetECG2_27_NoiseAmp());
  } else if (name == "noise_amplitude") {
    if (number()) code = SetECG2_27_Noise(GetECG2_27_NoiseFreq(), d);
  } else if (name == "drift") {
    if (boolean()) code = SetECG2_27_AAMIDriftTest(b);
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
  } else if (name == "baseline_reset") {
    if (integer()) code = SetBaselineResetTest(i);
  }
  const std::string text = ResultText(setter, code);
  return {code, text.empty() ? TextFor(e, code) : text};
}

}  // namespace orna::panel
