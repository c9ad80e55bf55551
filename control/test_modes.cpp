// Test modes: frequency scans, mains noise, baseline drift, dynamic-range
// overlay and the baseline reset test.
#include <cmath>

#include "control/apply.h"
#include "control/bounds.h"
#include "control/relays.h"
#include "control/scheduling.h"
#include "generator/output_functions.h"
#include "generator/packet_builder.h"
#include "generator/settings.h"
#include "generator/timebase.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "orna.h"

using namespace orna;

namespace {

void TellOutputFunction(int n) {
  if (g_SyncMainFuncCB) g_SyncMainFuncCB(n);
}

// A NaN or infinite argument is refused with -2 before any other check of
// the arguments: it would pass the bound tests or be stored.
bool NotFinite(double a, double b = 0.0) { return !std::isfinite(a) || !std::isfinite(b); }

}  // namespace

extern "C" {

int SetFreqScanSine(bool on, double start_Hz, double stop_Hz, int duration_s) noexcept {
  ExportLock lock;
  if (_NoPort()) return -1;
  if (NotFinite(start_Hz, stop_Hz)) return -2;
  if (_Outside(start_Hz, 0.67, 500.0)) return -2;
  if (_Outside(stop_Hz, 0.67, 500.0)) return -3;
  if (_Outside(duration_s, 10, 180)) return -4;
  g_Fstart = start_Hz;
  g_Ffinal = stop_Hz;
  g_Fduration = duration_s;
  if (!on) {
    if (g_MainOutput == 0) return 0;
    g_MainOutput = 0;
    TellOutputFunction(0);
    _ChangeRequested();
    return 0;
  }
  g_F = start_Hz;
  g_MainOutput = OutputFuncSine;
  g_FreqScan1 = true;
  s_FreqScanOn = true;
  // Per sample (5 000 samples/s), so the stop frequency is reached after about
  // duration seconds. A stop below the start gives a negative step; such a
  // scan is not run downward: the end test ends it after its first packet.
  s_Fd = ((stop_Hz - start_Hz) / duration_s) / 5000;
  TellOutputFunction(OutputFuncSine);
  _ChangeRequested();
  return 0;
}

int SetFreqScanECG(bool on) noexcept {
  ExportLock lock;
  if (_NoPort()) return -1;
  if (on) {
    // Fixed sweep of the calibration ECG: 0.05 Hz to 0.5 Hz in 30 s.
    g_FreqScan3 = true;
    g_F = 0.05;
    g_Fstart = 0.05;
    g_MainOutput = OutputFuncCalECG;
    s_FreqScanOn = true;
    s_Fd = 0.000003;
    g_Ffinal = 0.5;
    TellOutputFunction(OutputFuncCalECG);
  } else {
    g_MainOutput = 0;
    TellOutputFunction(0);
  }
  _ChangeRequested();
  return 0;
}

int SetECG2_27_Noise(int mode, double amplitude_mV) noexcept {
  ExportLock lock;
  if (_NoPort()) return -1;
  if (NotFinite(amplitude_mV)) return -2;
  if (mode != 0 && g_MainOutput != OutputFuncCalECG) return -2;
  // Checked when switching off too.
  if (_Outside(amplitude_mV, 0.01, 0.2)) return -3;
  g_MainNoise = mode;
  g_MainsNoiseAmp = amplitude_mV;
  _ChangeRequested();
  return 0;
}

int SetECG2_27_AAMIDriftTest(bool on) noexcept {
  return _CheckedSet(g_AAMIDriftTest, on, _AnyValue<bool>);
}

int SetDynamicRangeTest(bool on, double amplitude_mV, double frequency_Hz) noexcept {
  ExportLock lock;
  if (_NoPort()) return -1;
  if (NotFinite(amplitude_mV, frequency_Hz)) return -2;
  if (on && g_MainOutput != OutputFuncTriangle && g_MainOutput != OutputFuncSquare) return -2;
  // Both checked when switching off too.
  if (_Outside(amplitude_mV, 0.0, 5.0)) return -3;
  if (_Outside(frequency_Hz, 10.0, 50.0)) return -4;
  g_DynamicRangeTest = on;
  g_ADynamicRange = amplitude_mV;
  g_FDynamicRange = frequency_Hz;
  _ChangeRequested();
  return 0;
}

int SetBaselineResetTest(int mode) noexcept {
  ExportLock lock;
  if (_NoPort()) return -1;
  if (mode == 0) {
    // Ends the test whether or not one was active.
    g_BaseLineOverload = 0;
    _SendOffsetClearCommand();
    // The instrument's offset is cleared: variable mode must be programmed again.
    _DCVariableOn = false;
    _ApplyAtOnce();
    return 0;
  }
  if (g_MainOutput != OutputFuncSine) return -2;
  g_BaseLineOverload = mode;
  switch (mode) {
    case 1: g_F = 50.0; break;
    case 2: g_F = 60.0; break;
    case 3: g_F = 80.0; break;
    case 4: g_F = 100.0; break;
    default: break;  // other modes keep the current frequency
  }
  if (g_SyncFreqCB) g_SyncFreqCB(g_F);
  // The time is not reset: the sine goes on at the new frequency.
  s_tp = 1 / g_F;
  _UpdateRange();
  s_A = 2.5;
  _SetRelaysV4();
  _SendBaselineResetCommand();
  // The baseline reset command takes the place of any programmed offset.
  _DCVariableOn = false;
  return 0;
}

}  // extern "C"
