// Apply engine: limits what the selected output function cannot honour,
// derives the generator's working values, restarts the waveform, starts or
// stops streaming and brings relays, range and DC offset into line.
// The only place where streaming starts and stops.
#include "control/apply.h"

#include <cmath>

#include "control/relays.h"
#include "control/scheduling.h"
#include "generator/output_functions.h"
#include "generator/pacing.h"
#include "generator/packet_builder.h"
#include "generator/settings.h"
#include "generator/synthetic_ecg.h"
#include "generator/timebase.h"
#include "link/protocol.h"
#include "link/serial_port.h"
#include "orna.h"

namespace orna {

bool s_ECGGoing = false;
bool _ChangeInProcess = false;
bool _DCVariableOn = false;
double _DCVariablePrev = 0;
bool s_ChangeOnNextCycle = false;
bool s_ChangeMissed = false;

namespace {

// Limits amplitude and frequency for the selected (non-zero) output function
// and sets the working amplitude.
void LimitForFunction() {
  const double a = g_Amplitude * 0.5;
  if (g_MainOutput == OutputFuncBiExponential) {
    // Fixed shape: no frequency limit and no callback.
    g_PulseWidth = 50.0;
    g_F = 1.0;
    s_A = a;
    return;
  }
  s_A = a;
  double limit = 500.0;
  switch (g_MainOutput) {
    case OutputFuncCalECG:
      // The limited values are positive whatever the sign of the setting.
      if (std::fabs(a) > 2.857) {
        g_Amplitude = 5.714;
        if (g_PA != 0) g_Amplitude = 2.5;
      } else if (g_PA != 0 && std::fabs(a) > 1.25) {
        g_Amplitude = 2.5;
      }
      s_A = g_Amplitude;
      limit = 6.0;
      break;
    case OutputFuncExponential:
      s_A = 2 * a;
      limit = 3.0;
      break;
    case OutputFuncPulse:
    case OutputFuncTrianglePulse:
      limit = 3.0;
      break;
    default:
      break;
  }
  if (g_F > limit) {
    g_F = limit;
    if (g_SyncFreqCB) g_SyncFreqCB(g_F);
  }
}

void RunWithOutput() {
  LimitForFunction();
  _UpdateRange();
  s_MainsNoiseAmplitude = g_MainsNoiseAmp * 0.5;
  s_tp = _PeriodOfSelectedFunction();
  // The overlay rides on the waveform: together they must stay within 5 mV.
  if (g_DynamicRangeTest && s_A + g_ADynamicRange * 0.5 > 5.0) {
    s_A = 5.0 - g_ADynamicRange * 0.5;
    g_Amplitude = std::floor(std::fma(2 * s_A, 100, 0.5)) / 100;
  }
  // Restart: every change begins at the start of a period.
  s_t = 0;
  s_PulsesRequired = 0;
  s_PacDelayTP = 0;
  s_tg = 0;
  s_PW = g_PulseWidth / 1000;
  _ComputeCalECGBreakpoints();
  // A running baseline reset test (it lives only as long as the stream) keeps
  // its forced amplitude; its period is 1 / g_F, which the test set and the
  // setters cannot change while it runs.
  if (g_BaseLineOverload != 0 && s_ECGGoing) s_A = 2.5;
  if (g_PA != 0) _SetupPacing();
  if (g_MainOutput == OutputFuncECGNotchedR || g_MainOutput == OutputFuncECGSingleR) {
    _ComputeECGTemplate();
  }
  if (!s_ECGGoing) {
    s_ECGGoing = true;
    s_SeqCheck = 0;
    // The start applies every stored setting, so a deferral has nothing left to do.
    s_ChangeOnNextCycle = false;
    _SendNextPacket();
  }
}

void RunWithoutOutput() {
  if (!s_ECGGoing) return;
  s_ECGGoing = false;
  if (g_hFile.load() != -1) _SendStopCommand();
  // The test modes live only as long as the stream.
  g_BaseLineOverload = 0;
  g_FreqScan1 = false;
  g_FreqScan3 = false;
  s_FreqScanOn = false;
  _SetRelaysV4();
}

void ApplyDCOffset() {
  // Pacing owns the front end: no offset command of either kind.
  if (s_PulsesRequired != 0) return;
  // Neither offset command while a baseline reset test runs: both would end
  // the test on the instrument. Ending the test programs the offset again.
  if (g_BaseLineOverload != 0) return;
  if (g_DCVariable) {
    const bool was_on = _DCVariableOn;
    _DCVariableOn = true;
    _UpdateRange();
    s_Range = g_RangeV4Ch2On;
    const double setting = g_DCSetting;
    if (!was_on || setting != _DCVariablePrev) {
      if (g_hFile.load() != -1) _SendDCOffsetCommand(g_DCSetting);
    }
    _DCVariablePrev = setting;
    return;
  }
  if (g_hFile.load() != -1) _SendOffsetClearCommand();
  // The instrument no longer holds the variable offset: a return to variable
  // mode must program it again even when the setting did not change.
  _DCVariableOn = false;
}

}  // namespace

void _Change() {
  // The guard belongs to the engine; callers test it as well.
  if (_ChangeInProcess) return;
  _ChangeInProcess = true;
  if (g_MainOutput != 0) {
    RunWithOutput();
  } else {
    RunWithoutOutput();
  }
  _SetRelaysV4();
  s_Range = g_RangeV4Ch2Off;
  ApplyDCOffset();
  _ChangeInProcess = false;
  // Changes requested while this run was under way were neither applied nor
  // deferred: apply them now. Only the outermost run drains them, and only a
  // few times, so that a callback that changes a setting on every run cannot
  // recurse without end.
  static bool draining = false;
  if (!draining) {
    draining = true;
    for (int i = 0; i < 4 && s_ChangeMissed; ++i) {
      s_ChangeMissed = false;
      _ChangeRequested();
    }
    s_ChangeMissed = false;
    draining = false;
  }
  // Output 0 selected while this run was under way (a callback, or a scan that
  // ended inside the first packet) found the engine busy and was dropped; a
  // stream must not run on without an output function, so stop it now.
  if (s_ECGGoing && g_MainOutput == 0) _Change();
}

void _ApplyAtOnce() {
  // A pending deferral stays pending: it is applied once more at the end of
  // the cycle that this run starts.
  if (_ChangeInProcess) {
    s_ChangeMissed = true;
    return;
  }
  _Change();
}

}  // namespace orna
