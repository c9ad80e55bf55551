// Exported getters: each returns the stored value under the lock.
#include "generator/settings.h"
#include "link/lock.h"
#include "orna.h"

using namespace orna;

namespace {

template <typename T>
T Read(const T& value) {
  LockGuard lock(s_lock);
  return value;
}

}  // namespace

extern "C" {

int GetOutputFunc(void) { return Read(g_MainOutput); }
int GetSpecialWave227(void) { return Read(SpecialWaveFormNo); }
int GetSpecialWave251(void) { return Read(SpecialWaveFormNo); }
double GetAmplitude(void) { return Read(g_Amplitude); }
double GetFrequency(void) { return Read(g_F); }
int GetDCOffset(void) { return Read(g_DCSetting); }
bool GetDCOffsetVariableMode(void) { return Read(g_DCVariable); }
bool GetDCOffsetCommoneMode(void) { return Read(g_DCCommon); }

bool GetOutputLead(int lead) {
  LockGuard lock(s_lock);
  // Only 32 lead bits exist; a shift by anything else is undefined.
  if (lead < 0 || lead > 31) return false;
  return (static_cast<unsigned>(g_OutputLead) & (1u << lead)) != 0;
}

double GetPulseWidth(void) { return Read(g_PulseWidth); }
bool GetInputImpedanceMode(void) { return Read(g_InputImpedance); }
int GetPacingPulseMode(void) { return Read(g_PacingPulse); }
double GetQRSDuration(void) { return Read(g_QRSDuration); }
double GetTWave(void) { return Read(g_T); }
double GetPacingAmplitude(void) { return Read(g_PA); }
double GetPacingDuration(void) { return Read(g_PacingDuration); }
int GetPacingRate(void) { return Read(g_PacingRate); }
int GetOvershootTimeConstant(void) { return Read(g_PacingOvershootTC); }
int GetBaselineResetTest(void) { return Read(g_BaseLineOverload); }
int GetECG2_27_NoiseFreq(void) { return Read(g_MainNoise); }
double GetECG2_27_NoiseAmp(void) { return Read(g_MainsNoiseAmp); }
bool GetECG2_27_AAMIDriftTest(void) { return Read(g_AAMIDriftTest); }
bool GetDynamicRangeTest(void) { return Read(g_DynamicRangeTest); }
double GetDynamicRangeTestAmp(void) { return Read(g_ADynamicRange); }
double GetDynamicRangeTestFreq(void) { return Read(g_FDynamicRange); }
bool GetFreqScanSine(void) { return Read(g_FreqScan1); }
double GetFreqScanSineStartFreq(void) { return Read(g_Fstart); }
double GetFreqScanSineStopFreq(void) { return Read(g_Ffinal); }
int GetFreqScanSineDuration(void) { return Read(g_Fduration); }
bool GetFreqScanECG(void) { return Read(s_FreqScanOn); }

}  // extern "C"
