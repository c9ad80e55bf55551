// Reset to the load-time defaults and close the connection.
#include "generator/settings.h"
#include "link/link_status.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"
#include "orna.h"

using namespace orna;

namespace {

// Sets a default only where the setting differs from it.
template <typename T>
void Restore(T (*get)(), int (*set)(T), T value) {
  if (get() != value) set(value);
}

}  // namespace

extern "C" {

int ResetORNA(void) noexcept {
  ExportLock lock;
  // Every default goes through the exported setter so that it is checked,
  // stored and applied as if the host had set it. Output 0 comes first: the
  // stream stops at once and every later change is applied immediately.
  Restore(GetOutputFunc, SetOutputFunc, kDefaultMainOutput);
  Restore(GetAmplitude, SetAmplitude, kDefaultAmplitude);
  Restore(GetFrequency, SetFrequency, kDefaultF);
  Restore(GetDCOffset, SetDCOffset, kDefaultDCSetting);
  Restore(GetDCOffsetVariableMode, SetDCOffsetVariableMode, kDefaultDCVariable);
  Restore(GetDCOffsetCommoneMode, SetDCOffsetCommoneMode, kDefaultDCCommon);
  Restore(GetPulseWidth, SetPulseWidth, kDefaultPulseWidth);
  Restore(GetInputImpedanceMode, SetInputImpedanceMode, kDefaultInputImpedance);
  Restore(GetPacingPulseMode, SetPacingPulseMode, kDefaultPacingPulse);
  Restore(GetQRSDuration, SetQRSDuration, kDefaultQRSDuration);
  Restore(GetTWave, SetTWave, kDefaultT);
  Restore(GetPacingAmplitude, SetPacingAmplitude, kDefaultPA);
  Restore(GetPacingDuration, SetPacingDuration, kDefaultPacingDuration);
  Restore(GetPacingRate, SetPacingRate, kDefaultPacingRate);
  Restore(GetOvershootTimeConstant, SetOvershootTimeConstant, kDefaultPacingOvershootTC);
  // Leads 0 to 8, in this order.
  for (int lead = 0; lead <= 8; ++lead) {
    const bool on = ((kDefaultOutputLead >> lead) & 1) != 0;
    if (GetOutputLead(lead) != on) SetOutputLead(lead, on);
  }
  if (GetECG2_27_NoiseAmp() != kDefaultMainsNoiseAmp ||
      GetECG2_27_NoiseFreq() != kDefaultMainNoise) {
    SetECG2_27_Noise(kDefaultMainNoise, kDefaultMainsNoiseAmp);
  }
  if (GetDynamicRangeTest() != kDefaultDynamicRangeTest ||
      GetDynamicRangeTestAmp() != kDefaultADynamicRange ||
      GetDynamicRangeTestFreq() != kDefaultFDynamicRange) {
    SetDynamicRangeTest(kDefaultDynamicRangeTest, kDefaultADynamicRange, kDefaultFDynamicRange);
  }
  if (GetFreqScanSine() != kDefaultFreqScan1 || GetFreqScanSineStartFreq() != kDefaultFstart ||
      GetFreqScanSineStopFreq() != kDefaultFfinal || GetFreqScanSineDuration() != kDefaultFduration) {
    return SetFreqScanSine(kDefaultFreqScan1, kDefaultFstart, kDefaultFfinal, kDefaultFduration);
  }
  // Nothing left to reset in the last step.
  return 0;
}

int CloseORNA(void) noexcept {
  ExportLock lock;
  if (g_hFile.load() == -1) {
    // A connection whose device went away still holds its descriptor.
    _ReleaseLostPort();
    return -1;
  }
  ResetORNA();
  if (g_hFile.load() != -1) _SendCloseCommand();
  // The receive thread ends (and is waited for unless this is that thread)
  // before the descriptor goes, so it never touches a closed or reused one.
  _StopReceiveThread();
  _ClosePort();
  return -1;
}

}  // extern "C"
