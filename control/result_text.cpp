// Words for result codes: every non-success result of every exported
// function, so that hosts (the CLI, the Python package) need no table of
// their own. Kept next to the setters whose checks it describes.
#include <cstring>

#include "orna.h"

namespace {

struct ResultText {
  const char* function;
  int code;
  const char* text;
};

constexpr char kNoPort[] = "no instrument is open";

// Ranges as the setters check them (inclusive bounds).
constexpr ResultText kResultTexts[] = {
    {"InitORNA", 0, "no instrument answered on /dev/ttyACM0 to /dev/ttyACM3"},
    {"GetAD", 0, "no instrument is open or it gave no AD reply (0 is also a valid reading)"},
    {"ResetORNA", -1, kNoPort},
    {"CloseORNA", -1, "the connection is closed (CloseORNA always returns -1)"},

    {"SetOutputFunc", -1, kNoPort},
    {"SetOutputFunc", -2,
     "output function outside 0 to 13, or the IEC waveform index chosen lies outside that table"},
    {"SetSpecialWave227", -2, "IEC 60601-2-27 waveform index outside 0 to 9"},
    {"SetSpecialWave251", -2, "IEC 60601-2-51 waveform index outside 0 to 5"},
    {"SetAmplitude", -1, kNoPort},
    {"SetAmplitude", -2, "amplitude outside -10 to 10 mV"},
    {"SetAmplitude", -3, "amplitude is fixed while the baseline reset test runs"},
    {"SetFrequency", -1, kNoPort},
    {"SetFrequency", -2, "frequency outside 0.05 to 500 Hz (0.05 to 3 Hz with outputs 4 and 5)"},
    {"SetFrequency", -3, "frequency is fixed while a frequency scan runs"},
    {"SetFrequency", -4, "frequency is fixed while the baseline reset test runs"},
    {"SetDCOffset", -1, kNoPort},
    {"SetDCOffset", -2, "DC offset outside -300 to 300 mV (-1000 to 1000 mV in variable mode)"},
    {"SetDCOffsetVariableMode", -1, kNoPort},
    {"SetPulseWidth", -1, kNoPort},
    {"SetPulseWidth", -2, "pulse width outside 2 to 300 ms"},
    {"SetQRSDuration", -1, kNoPort},
    {"SetQRSDuration", -2, "QRS duration outside 5 to 200 ms"},
    {"SetTWave", -1, kNoPort},
    {"SetTWave", -2, "T-wave amplitude outside 0 to 2.5 mV"},
    {"SetPacingAmplitude", -1, kNoPort},
    {"SetPacingAmplitude", -2, "pacing amplitude outside -700 to 700 mV"},
    {"SetPacingDuration", -1, kNoPort},
    {"SetPacingDuration", -2, "pacing pulse width outside 0.1 to 3 ms"},
    {"SetPacingRate", -1, kNoPort},
    {"SetPacingRate", -2, "pacing rate outside 10 to 300 pulses per minute"},
    {"SetPacingPulseMode", -1, kNoPort},
    {"SetOvershootTimeConstant", -1, kNoPort},
    {"SetOvershootTimeConstant", -2, "overshoot time constant outside 0 to 100 ms"},

    {"SetOutputLead", -1, kNoPort},
    {"SetOutputLead", -2, "lead number outside 0 to 31"},
    {"SetInputImpedanceMode", -1, kNoPort},
    {"SetDCOffsetCommoneMode", -1, kNoPort},

    {"SetFreqScanSine", -1, kNoPort},
    {"SetFreqScanSine", -2, "scan start frequency outside 0.67 to 500 Hz, or a start or stop frequency that is not a finite number"},
    {"SetFreqScanSine", -3, "scan stop frequency outside 0.67 to 500 Hz"},
    {"SetFreqScanSine", -4, "scan duration outside 10 to 180 s"},
    {"SetFreqScanECG", -1, kNoPort},
    {"SetECG2_27_Noise", -1, kNoPort},
    {"SetECG2_27_Noise", -2, "mains noise needs output 7 (calibration ECG) selected, or the noise amplitude is not a finite number"},
    {"SetECG2_27_Noise", -3, "noise amplitude outside 0.01 to 0.2 mV"},
    {"SetECG2_27_AAMIDriftTest", -1, kNoPort},
    {"SetDynamicRangeTest", -1, kNoPort},
    {"SetDynamicRangeTest", -2, "the dynamic range test needs output 2 or 3 selected, or its amplitude or frequency is not a finite number"},
    {"SetDynamicRangeTest", -3, "dynamic range amplitude outside 0 to 5 mV"},
    {"SetDynamicRangeTest", -4, "dynamic range frequency outside 10 to 50 Hz"},
    {"SetBaselineResetTest", -1, kNoPort},
    {"SetBaselineResetTest", -2, "the baseline reset test needs output 1 (sine) selected"},

    {"LoadECGtxt", -1, "cannot open the file: it cannot be read, is not a regular file, or its path is missing, longer than 511 characters or not valid text"},
    {"LoadECGtxt", -2, "the file's first line holds no sample rate"},
    {"LoadECGtxt", -3, "the file's second line holds no sample count"},
    {"LoadECGtxt", -4, "the file's sample count is negative or beyond the int range, or there is no memory for it"},
    {"OrnaLoadECGSamples", -1, "no samples given for a positive count"},
    {"OrnaLoadECGSamples", -2, "the sample rate is not a positive finite number"},
    {"OrnaLoadECGSamples", -3, "the sample count is 0"},
    {"OrnaLoadECGSamples", -4, "the sample count is negative, or no memory for it"},
    {"LoadECGbin", -1, "cannot open the file: it cannot be read, is not a regular file, or its path is missing, longer than 511 characters or not valid text"},
    {"LoadECGbin", -2, "the file's header holds no sample rate"},
    {"LoadECGbin", -3, "the sample rate was read; binary waveforms load no samples"},

    {"OrnaListPorts", -1, "the system's device tree cannot be read, or no memory to list it"},
    {"OrnaOpenPort", 0, "the port opened but no instrument answered"},
    {"OrnaOpenPort", -1, "the port cannot be opened (OrnaLastErrorText says why)"},
    {"OrnaOpenPort", -16, "another process holds the port"},
    {"OrnaGetLinkStatus", -1, "the status record is NULL or its size is too small"},
};

}  // namespace

extern "C" {

// Needs no lock: the table is constant.
const char* OrnaResultText(const char* function, int code) noexcept {
  if (function == nullptr) return nullptr;
  for (const ResultText& r : kResultTexts) {
    if (r.code == code && std::strcmp(r.function, function) == 0) return r.text;
  }
  return nullptr;
}

}  // extern "C"
