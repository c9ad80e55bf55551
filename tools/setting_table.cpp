#include "setting_table.h"

#include <algorithm>
#include <cmath>

#include "generator/settings.h"
#include "orna.h"

namespace orna::cli {

namespace {

using K = SettingKind;
using P = PlayOptions;

const char* const kFunctionNames[] = {
    "none",          "sine",    "triangle", "square", "pulse",       "triangle-pulse", "exponential",
    "cal-ecg",       "iec227",  "iec251",   "ecg-notched", "ecg-single", "biexponential", "file"};

constexpr unsigned kPulses = FunctionBit(OutputFuncPulse) | FunctionBit(OutputFuncTrianglePulse);
constexpr unsigned kCalECG = FunctionBit(OutputFuncCalECG);
constexpr unsigned kIEC = FunctionBit(OutputFuncIEC227) | FunctionBit(OutputFuncIEC251);
// The waveforms that come at their own rate.
constexpr unsigned kOwnRate = kIEC | FunctionBit(OutputFuncBiExponential) | FunctionBit(OutputFuncECGFile);
// The outputs whose period is one heartbeat: their rate may be given in bpm.
constexpr unsigned kHeartbeats =
    kCalECG | FunctionBit(OutputFuncECGNotchedR) | FunctionBit(OutputFuncECGSingleR);
// SetFrequency's range; the heart rate's is the same per minute.
constexpr double kMinHz = 0.05, kMaxHz = 500;

double NoiseAmplitude(const P& o) { return std::isnan(o.noise_amplitude) ? kDefaultMainsNoiseAmp : o.noise_amplitude; }

int ApplyLeads(const P& o) {
  for (int lead = 0; lead <= 8; ++lead) {
    const bool on = std::find(o.leads.begin(), o.leads.end(), lead) != o.leads.end();
    if (const int code = SetOutputLead(lead, on)) return code;
  }
  return 0;
}

int ApplyDynamicRange(const P& o) {
  const bool on = !std::isnan(o.dynamic_range_amplitude);
  const double f = std::isnan(o.dynamic_range_frequency) ? kDefaultFDynamicRange : o.dynamic_range_frequency;
  return SetDynamicRangeTest(on, on ? o.dynamic_range_amplitude : 0, f);
}

int ApplyNoise(const P& o) { return SetECG2_27_Noise(std::max(0, o.noise), NoiseAmplitude(o)); }

int ApplyScan(const P& o) {
  if (o.freq_scan_sine.size() != 3) return SetFreqScanSine(false, 1, 1, 10);
  return SetFreqScanSine(true, o.freq_scan_sine[0], o.freq_scan_sine[1], static_cast<int>(o.freq_scan_sine[2]));
}

const std::vector<SettingSpec>& Table() {
  static const std::vector<SettingSpec> t = {
      // key, kind, unit, option, test mode, part of, functions, misfit,
      // lo, hi, page lo, hi, default, setter, range code, texts, value, apply
      {"function", K::Choice, "", false, false, "", kAnyFunction, nullptr, 0, 13, 0, 13, kDefaultMainOutput, "SetOutputFunc", -2,
       {{-2, "no such output function"}}, nullptr, nullptr, nullptr, nullptr},
      {"amplitude", K::Number, "mV", true, false, "", kAnyFunction, nullptr, -10, 10, -10, 10, kDefaultAmplitude, "SetAmplitude", -2,
       {{-2, "out of range (-10..10 mV)"}, {-3, "the baseline reset test sets the amplitude"}},
       &P::amplitude, nullptr, nullptr, [](const P& o) { return SetAmplitude(o.amplitude); }},
      {"frequency", K::Number, "Hz", true, false, "", ~kOwnRate, "this waveform has its own rate", kMinHz, kMaxHz,
       kMinHz, kMaxHz, kDefaultF, "SetFrequency", -2,
       {{-2, "out of range (0.05..500 Hz, 3 Hz with pulse outputs)"},
        {-3, "a frequency scan is running"},
        {-4, "the baseline reset test sets the frequency"}},
       &P::frequency, nullptr, nullptr, [](const P& o) { return SetFrequency(o.frequency); }},
      // The frequency given per minute. No range code: the library's words
      // for one would speak of hertz.
      {"bpm", K::Number, "/min", true, false, "", kHeartbeats, nullptr, kMinHz * kSecondsPerMinute,
       kMaxHz * kSecondsPerMinute, kMinHz * kSecondsPerMinute, kMaxHz * kSecondsPerMinute,
       kDefaultF * kSecondsPerMinute, "SetFrequency", 0,
       {{-3, "a frequency scan is running"}, {-4, "the baseline reset test sets the frequency"}}, &P::bpm, nullptr,
       nullptr, [](const P& o) { return SetFrequency(o.bpm / kSecondsPerMinute); }},
      {"pulse_width", K::Number, "ms", true, false, "", kPulses, nullptr, 2, 300, 2, 300, kDefaultPulseWidth, "SetPulseWidth", -2,
       {{-2, "out of range (2..300 ms)"}}, &P::pulse_width, nullptr, nullptr,
       [](const P& o) { return SetPulseWidth(o.pulse_width); }},
      {"qrs", K::Number, "ms", true, false, "", kCalECG, nullptr, 5, 200, 5, 200, kDefaultQRSDuration, "SetQRSDuration", -2,
       {{-2, "out of range (5..200 ms)"}}, &P::qrs, nullptr, nullptr,
       [](const P& o) { return SetQRSDuration(o.qrs); }},
      {"t_wave", K::Number, "mV", true, false, "", kCalECG, nullptr, 0, 2.5, 0, 2.5, kDefaultT, "SetTWave", -2,
       {{-2, "out of range (0..2.5 mV)"}}, &P::t_wave, nullptr, nullptr, [](const P& o) { return SetTWave(o.t_wave); }},
      // The waveform starts with its function (StartFunction).
      {"iec", K::Integer, "", true, false, "", kIEC, nullptr, 0, 9, 0, 9, kDefaultSpecialWaveFormNo, "SetSpecialWave227", -2,
       {{-2, "no such waveform"}}, nullptr, &P::iec, nullptr, nullptr},
      {"iec227", K::Integer, "", false, false, "", kAnyFunction, nullptr, 0, 9, 0, 9, 0, "SetSpecialWave227", -2,
       {{-2, "no such waveform (0..9)"}}, nullptr, nullptr, nullptr, nullptr},
      {"iec251", K::Integer, "", false, false, "", kAnyFunction, nullptr, 0, 5, 0, 5, 0, "SetSpecialWave251", -2,
       {{-2, "no such waveform (0..5)"}}, nullptr, nullptr, nullptr, nullptr},
      // Loaded (LoadECGtxt gives the sample count) before the function starts.
      {"file", K::Path, "", true, false, "", FunctionBit(OutputFuncECGFile), nullptr, 0, 0, 0, 0, NAN, "LoadECGtxt",
       -1,
       {{-1, "cannot open the file"}, {-2, "bad sample rate"}, {-3, "bad sample count"},
        {-4, "no memory for the samples"}},
       nullptr, nullptr, nullptr, nullptr},
      {"pacing_width", K::Number, "ms", true, false, "", kAnyFunction, nullptr, 0.1, 3, 0.1, 3, kDefaultPacingDuration,
       "SetPacingDuration", -2, {{-2, "out of range (0.1..3 ms)"}}, &P::pacing_width, nullptr, nullptr,
       [](const P& o) { return SetPacingDuration(o.pacing_width); }},
      {"pacing_rate", K::Integer, "/min", true, false, "", kAnyFunction, nullptr, 10, 300, 10, 300, kDefaultPacingRate,
       "SetPacingRate", -2, {{-2, "out of range (10..300 /min)"}}, nullptr, &P::pacing_rate, nullptr,
       [](const P& o) { return SetPacingRate(o.pacing_rate); }},
      {"pacing_mode", K::Integer, "", true, false, "", kAnyFunction, nullptr, 0, 1e9, 0, 1, kDefaultPacingPulse, "SetPacingPulseMode",
       -2, {}, nullptr, &P::pacing_mode, nullptr, [](const P& o) { return SetPacingPulseMode(o.pacing_mode); }},
      {"overshoot", K::Integer, "ms", true, false, "", kAnyFunction, nullptr, 0, 100, 0, 100, kDefaultPacingOvershootTC,
       "SetOvershootTimeConstant", -2, {{-2, "out of range (0..100 ms)"}}, &P::overshoot, nullptr, nullptr,
       [](const P& o) { return SetOvershootTimeConstant(static_cast<int>(o.overshoot)); }},
      {"pacing_amplitude", K::Number, "mV", true, false, "", kAnyFunction, nullptr, -700, 700, -700, 700, kDefaultPA,
       "SetPacingAmplitude", -2, {{-2, "out of range (-700..700 mV)"}}, &P::pacing_amplitude, nullptr, nullptr,
       [](const P& o) { return SetPacingAmplitude(o.pacing_amplitude); }},
      {"dc_variable", K::Flag, "", true, false, "", kAnyFunction, nullptr, 0, 1, 0, 1, kDefaultDCVariable, "SetDCOffsetVariableMode",
       0, {}, nullptr, nullptr, &P::dc_variable, [](const P& o) { return SetDCOffsetVariableMode(o.dc_variable); }},
      {"dc_offset", K::Integer, "mV", true, false, "", kAnyFunction, nullptr, -1000, 1000, -300, 300, kDefaultDCSetting,
       "SetDCOffset", -2, {{-2, "out of range (-300..300 mV, -1000..1000 mV in variable mode)"}}, nullptr,
       &P::dc_offset, nullptr, [](const P& o) { return SetDCOffset(o.dc_offset); }},
      // The leads switched on, exactly. The default is the one lead on at
      // load (kDefaultOutputLead has bit 0 only).
      {"lead", K::Leads, "", true, false, "", kAnyFunction, nullptr, 0, 8, 0, 8, 0, "SetOutputLead", -2,
       {{-2, "no such lead"}}, nullptr, nullptr, nullptr, ApplyLeads},
      {"impedance", K::Flag, "", true, false, "", kAnyFunction, nullptr, 0, 1, 0, 1, kDefaultInputImpedance, "SetInputImpedanceMode", 0,
       {}, nullptr, nullptr, &P::impedance, [](const P& o) { return SetInputImpedanceMode(o.impedance); }},
      {"common_mode", K::Flag, "", true, false, "", kAnyFunction, nullptr, 0, 1, 0, 1, kDefaultDCCommon, "SetDCOffsetCommoneMode",
       0, {}, nullptr, nullptr, &P::common_mode, [](const P& o) { return SetDCOffsetCommoneMode(o.common_mode); }},
      // Test modes. A sequence's range check for noise and baseline_reset has
      // no library code of its own (range code 0).
      {"noise", K::Integer, "", true, true, "", kCalECG, nullptr, 0, 2, 0, 2, kDefaultMainNoise, "SetECG2_27_Noise", 0,
       {{-2, "mains noise needs the calibration ECG"}, {-3, "amplitude out of range (0.01..0.2 mV)"}}, nullptr,
       &P::noise, nullptr, ApplyNoise},
      {"noise_amplitude", K::Number, "mV", true, true, "noise", kAnyFunction, nullptr, 0.01, 0.2, 0.01, 0.2, kDefaultMainsNoiseAmp,
       "SetECG2_27_Noise", -3,
       {{-2, "mains noise needs the calibration ECG"}, {-3, "out of range (0.01..0.2 mV)"}}, &P::noise_amplitude,
       nullptr, nullptr, ApplyNoise},
      {"drift", K::Flag, "", true, true, "", kCalECG, nullptr, 0, 1, 0, 1, kDefaultAAMIDriftTest, "SetECG2_27_AAMIDriftTest", 0,
       {{-2, "the drift test needs the calibration ECG"}}, nullptr, nullptr, &P::drift,
       [](const P& o) { return SetECG2_27_AAMIDriftTest(o.drift); }},
      {"freq_scan_ecg", K::Flag, "", true, true, "", kCalECG, nullptr, 0, 1, 0, 1, 0, "SetFreqScanECG", 0, {},
       nullptr, nullptr, &P::freq_scan_ecg, [](const P& o) { return SetFreqScanECG(o.freq_scan_ecg); }},
      {"dynamic_range", K::Number, "mV", true, true, "",
       FunctionBit(OutputFuncTriangle) | FunctionBit(OutputFuncSquare), nullptr, 0, 5, 0, 5, NAN,
       "SetDynamicRangeTest", -3,
       {{-2, "the dynamic-range test needs the triangle or square output"},
        {-3, "amplitude out of range (0..5 mV)"},
        {-4, "frequency out of range (10..50 Hz)"}},
       &P::dynamic_range_amplitude, nullptr, nullptr, ApplyDynamicRange},
      {"dynamic_range_frequency", K::Number, "Hz", true, true, "dynamic_range", kAnyFunction, nullptr, 10, 50, 10, 50,
       kDefaultFDynamicRange, "SetDynamicRangeTest", -4,
       {{-2, "the dynamic-range test needs the triangle or square output"},
        {-3, "amplitude out of range (0..5 mV)"},
        {-4, "out of range (10..50 Hz)"}},
       &P::dynamic_range_frequency, nullptr, nullptr, ApplyDynamicRange},
      {"freq_scan_sine", K::Scan, "", true, true, "", FunctionBit(OutputFuncSine), nullptr, 0.67, 500, 0.67, 500,
       NAN, "SetFreqScanSine", -2,
       {{-2, "start frequency out of range (0.67..500 Hz)"},
        {-3, "stop frequency out of range (0.67..500 Hz)"},
        {-4, "duration out of range (10..180 s)"}},
       nullptr, nullptr, nullptr, ApplyScan},
      {"baseline_reset", K::Integer, "", true, true, "", FunctionBit(OutputFuncSine), nullptr, 0, 4, 0, 4, kDefaultBaseLineOverload,
       "SetBaselineResetTest", 0, {{-2, "the baseline reset test needs the sine output"}}, nullptr,
       &P::baseline_reset, nullptr, [](const P& o) { return SetBaselineResetTest(o.baseline_reset); }},
  };
  return t;
}

}  // namespace

const std::vector<SettingSpec>& SettingTable() { return Table(); }

const SettingSpec* FindSetting(const std::string& key) {
  for (const auto& s : Table())
    if (key == s.key) return &s;
  return nullptr;
}

std::string OptionName(const SettingSpec& s) {
  std::string name = std::string("--") + s.key;
  std::replace(name.begin(), name.end(), '_', '-');
  return name;
}

bool Given(const SettingSpec& s, const PlayOptions& o) {
  switch (s.kind) {
    case K::Path:
      return !o.file.empty();
    case K::Leads:
      return !o.leads.empty();
    case K::Scan:
      return !o.freq_scan_sine.empty();
    default:
      if (s.real) return !std::isnan(o.*(s.real));
      if (s.integer) return s.integer == &P::dc_offset ? o.dc_offset != 0 : o.*(s.integer) >= 0;
      if (s.flag) return o.*(s.flag);
      return false;
  }
}

const SettingSpec* TestModeOf(const SettingSpec& s) {
  if (!s.test_mode) return nullptr;
  return s.part_of[0] ? FindSetting(s.part_of) : &s;
}

bool TestModeOn(const SettingSpec& mode, const PlayOptions& o) {
  // Zero is "off" for the numbered test modes.
  if (mode.integer) return o.*(mode.integer) > 0;
  return Given(mode, o);
}

double FrequencyOf(const PlayOptions& o) { return std::isnan(o.bpm) ? o.frequency : o.bpm / kSecondsPerMinute; }

const char* FunctionName(int function) {
  return function >= 0 && function <= OutputFuncECGFile ? kFunctionNames[function] : "";
}

int FunctionByName(const std::string& name) {
  if (name == "ecg") return OutputFuncECGNotchedR;
  for (int i = 0; i <= OutputFuncECGFile; ++i)
    if (name == kFunctionNames[i]) return i;
  return -1;
}

int StartFunction(int function, int iec, const char** setter) {
  if (function == OutputFuncIEC227) return *setter = "SetSpecialWave227", SetSpecialWave227(iec);
  if (function == OutputFuncIEC251) return *setter = "SetSpecialWave251", SetSpecialWave251(iec);
  return *setter = "SetOutputFunc", SetOutputFunc(function);
}

}  // namespace orna::cli
