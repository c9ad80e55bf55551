// Exported setters of the output selection and signal settings. Each one
// refuses without a port, checks its argument and the state it depends on in
// a fixed order (the first failing check decides the code), stores, and then
// hands over to change scheduling or applies at once: _CheckedSet (bounds.h).
#include "control/apply.h"
#include "control/bounds.h"
#include "control/scheduling.h"
#include "data/iec_tables.h"
#include "generator/settings.h"
#include "link/lock.h"
#include "orna.h"

using namespace orna;

namespace {

// Selects one of the two table outputs. Needs no port: with none open the
// engine still enters the streaming state, only nothing is written.
int SelectTableWaveform(int output, int index, int count) {
  // The generator indexes the table with this number; one outside the table
  // is refused instead of being stored.
  if (index < 0 || index >= count) return -2;
  if (g_MainOutput != output) g_MainOutput = output;
  SpecialWaveFormNo = index;
  _ApplyAtOnce();
  return 0;
}

}  // namespace

extern "C" {

int SetOutputFunc(int n) noexcept {
  // Output 12 forces its own frequency and pulse width, so it does not wait
  // for the end of the old function's cycle.
  void (*const then)() = n == OutputFuncBiExponential ? _ApplyAtOnce : _ChangeRequested;
  return _CheckedSet(g_MainOutput, n, [](int v) {
    // Only 0..13 have an output function; another number would stream nothing
    // useful while reporting success.
    if (v < OutputFuncNone || v > OutputFuncECGFile) return -2;
    // The two table outputs share the waveform number: one chosen for the
    // longer table may lie outside the shorter one and would play nothing.
    if ((v == OutputFuncIEC227 && SpecialWaveFormNo >= kIEC227Count) ||
        (v == OutputFuncIEC251 && SpecialWaveFormNo >= kIEC251Count)) {
      return -2;
    }
    return 0;
  }, then);
}

int SetSpecialWave227(int n) noexcept {
  ExportLock lock;
  return SelectTableWaveform(OutputFuncIEC227, n, kIEC227Count);
}

int SetSpecialWave251(int n) noexcept {
  ExportLock lock;
  return SelectTableWaveform(OutputFuncIEC251, n, kIEC251Count);
}

int SetAmplitude(double mV) noexcept {
  return _CheckedSet(g_Amplitude, mV, [](double v) {
    if (_Outside(v, -10.0, 10.0)) return -2;
    // The baseline reset test forces its own amplitude.
    return g_BaseLineOverload != 0 ? -3 : 0;
  });
}

int SetFrequency(double Hz) noexcept {
  return _CheckedSet(g_F, Hz, [](double v) {
    if (_Outside(v, 0.05, 500.0)) return -2;
    if ((g_MainOutput == OutputFuncPulse || g_MainOutput == OutputFuncTrianglePulse) && v > 3.0) {
      return -2;
    }
    if (s_FreqScanOn) return -3;
    return g_BaseLineOverload != 0 ? -4 : 0;
  });
}

int SetDCOffset(int mV) noexcept {
  return _CheckedSet(g_DCSetting, mV, [](int v) {
    // The range depends on the mode in force now; a value accepted in variable
    // mode stays when fixed mode is chosen later.
    return (g_DCVariable ? _Outside(v, -1000, 1000) : _Outside(v, -300, 300)) ? -2 : 0;
  });
}

int SetDCOffsetVariableMode(bool on) noexcept { return _CheckedSet(g_DCVariable, on, _AnyValue<bool>); }

int SetPulseWidth(double ms) noexcept { return _CheckedSet(g_PulseWidth, ms, _Bounds(2.0, 300.0)); }

int SetQRSDuration(double ms) noexcept { return _CheckedSet(g_QRSDuration, ms, _Bounds(5.0, 200.0)); }

int SetTWave(double mV) noexcept { return _CheckedSet(g_T, mV, _Bounds(0.0, 2.5)); }

int SetPacingAmplitude(double mV) noexcept { return _CheckedSet(g_PA, mV, _Bounds(-700.0, 700.0)); }

int SetPacingDuration(double ms) noexcept { return _CheckedSet(g_PacingDuration, ms, _Bounds(0.1, 3.0)); }

int SetPacingRate(int per_minute) noexcept {
  return _CheckedSet(g_PacingRate, per_minute, _Bounds(10, 300));
}

int SetPacingPulseMode(int mode) noexcept { return _CheckedSet(g_PacingPulse, mode, _AnyValue<int>); }

int SetOvershootTimeConstant(int ms) noexcept {
  return _CheckedSet(g_PacingOvershootTC, ms, _Bounds(0, 100));
}

}  // extern "C"
