// Exported setters of the output selection and signal settings. Each one
// refuses without a port, checks its argument and the state it depends on in
// a fixed order (the first failing check decides the code), stores, and then
// hands over to change scheduling or applies at once.
#include "control/apply.h"
#include "control/bounds.h"
#include "control/scheduling.h"
#include "control/settings.h"
#include "data/iec_tables.h"
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

int SetOutputFunc(int n) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  // Only 0..13 have an output function; another number would stream nothing
  // useful while reporting success.
  if (n < OutputFuncNone || n > OutputFuncECGFile) return -2;
  // The two table outputs share the waveform number: one chosen for the
  // longer table may lie outside the shorter one and would play nothing.
  if ((n == OutputFuncIEC227 && SpecialWaveFormNo >= kIEC227Count) ||
      (n == OutputFuncIEC251 && SpecialWaveFormNo >= kIEC251Count)) {
    return -2;
  }
  g_MainOutput = n;
  // Output 12 forces its own frequency and pulse width, so it does not wait
  // for the end of the old function's cycle.
  if (n == OutputFuncBiExponential) {
    _ApplyAtOnce();
  } else {
    _ChangeRequested();
  }
  return 0;
}

int SetSpecialWave227(int n) {
  LockGuard lock(s_lock);
  return SelectTableWaveform(OutputFuncIEC227, n, kIEC227Count);
}

int SetSpecialWave251(int n) {
  LockGuard lock(s_lock);
  return SelectTableWaveform(OutputFuncIEC251, n, kIEC251Count);
}

int SetAmplitude(double mV) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  if (_Outside(mV, -10.0, 10.0)) return -2;
  // The baseline reset test forces its own amplitude.
  if (g_BaseLineOverload != 0) return -3;
  g_Amplitude = mV;
  _ChangeRequested();
  return 0;
}

int SetFrequency(double Hz) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  if (_Outside(Hz, 0.05, 500.0)) return -2;
  if ((g_MainOutput == OutputFuncPulse || g_MainOutput == OutputFuncTrianglePulse) && Hz > 3.0) {
    return -2;
  }
  if (s_FreqScanOn) return -3;
  if (g_BaseLineOverload != 0) return -4;
  g_F = Hz;
  _ChangeRequested();
  return 0;
}

int SetDCOffset(int mV) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  // The range depends on the mode in force now; a value accepted in variable
  // mode stays when fixed mode is chosen later.
  if (g_DCVariable ? _Outside(mV, -1000, 1000) : _Outside(mV, -300, 300)) return -2;
  g_DCSetting = mV;
  _ChangeRequested();
  return 0;
}

int SetDCOffsetVariableMode(bool on) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  g_DCVariable = on;
  _ChangeRequested();
  return 0;
}

int SetPulseWidth(double ms) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  if (_Outside(ms, 2.0, 300.0)) return -2;
  g_PulseWidth = ms;
  _ChangeRequested();
  return 0;
}

int SetQRSDuration(double ms) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  if (_Outside(ms, 5.0, 200.0)) return -2;
  g_QRSDuration = ms;
  _ChangeRequested();
  return 0;
}

int SetTWave(double mV) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  if (_Outside(mV, 0.0, 2.5)) return -2;
  g_T = mV;
  _ChangeRequested();
  return 0;
}

int SetPacingAmplitude(double mV) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  if (_Outside(mV, -700.0, 700.0)) return -2;
  g_PA = mV;
  _ChangeRequested();
  return 0;
}

int SetPacingDuration(double ms) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  if (_Outside(ms, 0.1, 3.0)) return -2;
  g_PacingDuration = ms;
  _ChangeRequested();
  return 0;
}

int SetPacingRate(int per_minute) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  if (_Outside(per_minute, 10, 300)) return -2;
  g_PacingRate = per_minute;
  _ChangeRequested();
  return 0;
}

int SetPacingPulseMode(int mode) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  g_PacingPulse = mode;
  _ChangeRequested();
  return 0;
}

int SetOvershootTimeConstant(int ms) {
  LockGuard lock(s_lock);
  if (_NoPort()) return -1;
  if (_Outside(ms, 0, 100)) return -2;
  g_PacingOvershootTC = ms;
  _ChangeRequested();
  return 0;
}

}  // extern "C"
