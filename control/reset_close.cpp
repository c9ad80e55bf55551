// Reset to the load-time defaults and close the connection.
#include "control/settings.h"
#include "link/link_status.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"
#include "orna.h"

using namespace orna;

extern "C" {

int ResetORNA(void) {
  LockGuard lock(s_lock);
  // Every default goes through the exported setter so that it is checked,
  // stored and applied as if the host had set it. Output 0 comes first: the
  // stream stops at once and every later change is applied immediately.
  if (GetOutputFunc() != 0) SetOutputFunc(0);
  if (GetAmplitude() != 1.0) SetAmplitude(1.0);
  if (GetFrequency() != 1.0) SetFrequency(1.0);
  if (GetDCOffset() != 0) SetDCOffset(0);
  if (GetDCOffsetVariableMode()) SetDCOffsetVariableMode(false);
  if (GetDCOffsetCommoneMode()) SetDCOffsetCommoneMode(false);
  if (GetPulseWidth() != 100.0) SetPulseWidth(100.0);
  if (!GetInputImpedanceMode()) SetInputImpedanceMode(true);
  if (GetPacingPulseMode() != 0) SetPacingPulseMode(0);
  if (GetQRSDuration() != 100.0) SetQRSDuration(100.0);
  if (GetTWave() != 0.2) SetTWave(0.2);
  if (GetPacingAmplitude() != 0.0) SetPacingAmplitude(0.0);
  if (GetPacingDuration() != 2.0) SetPacingDuration(2.0);
  if (GetPacingRate() != 60) SetPacingRate(60);
  if (GetOvershootTimeConstant() != 0) SetOvershootTimeConstant(0);
  if (!GetOutputLead(0)) SetOutputLead(0, true);
  for (int lead = 1; lead <= 8; ++lead) {
    if (GetOutputLead(lead)) SetOutputLead(lead, false);
  }
  if (GetECG2_27_NoiseAmp() != 0.1 || GetECG2_27_NoiseFreq() != 0) {
    SetECG2_27_Noise(0, 0.1);
  }
  if (GetDynamicRangeTest() || GetDynamicRangeTestAmp() != 1.0 ||
      GetDynamicRangeTestFreq() != 40.0) {
    SetDynamicRangeTest(false, 1.0, 40.0);
  }
  if (GetFreqScanSine() || GetFreqScanSineStartFreq() != 0.67 ||
      GetFreqScanSineStopFreq() != 150.0 || GetFreqScanSineDuration() != 30) {
    return SetFreqScanSine(false, 0.67, 150.0, 30);
  }
  // Nothing left to reset in the last step.
  return 0;
}

int CloseORNA(void) {
  LockGuard lock(s_lock);
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
