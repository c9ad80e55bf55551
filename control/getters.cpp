// Exported getters: each returns the stored value under the lock.
#include "generator/settings.h"
#include "link/lock.h"
#include "orna.h"

using namespace orna;

namespace {

template <typename T>
T Read(const T& value) {
  ExportLock lock;
  return value;
}

}  // namespace

extern "C" {

int GetOutputFunc(void) noexcept { return Read(g_MainOutput); }
int GetSpecialWave227(void) noexcept { return Read(SpecialWaveFormNo); }
int GetSpecialWave251(void) noexcept { return Read(SpecialWaveFormNo); }
double GetAmplitude(void) noexcept { return Read(g_Amplitude); }
double GetFrequency(void) noexcept { return Read(g_F); }
int GetDCOffset(void) noexcept { return Read(g_DCSetting); }
bool GetDCOffsetVariableMode(void) noexcept { return Read(g_DCVariable); }
bool GetDCOffsetCommoneMode(void) noexcept { return Read(g_DCCommon); }

bool GetOutputLead(int lead) noexcept {
  ExportLock lock;
  // Only 32 lead bits exist; a shift by anything else is undefined.
  if (lead < 0 || lead > 31) return false;
  return (static_cast<unsigned>(g_OutputLead) & (1u << lead)) != 0;
}

double GetPulseWidth(void) noexcept { return Read(g_PulseWidth); }
bool GetInputImpedanceMode(void) noexcept { return Read(g_InputImpedance); }
int GetPacingPulseMode(void) noexcept { return Read(g_PacingPulse); }
double GetQRSDuration(void) noexcept { return Read(g_QRSDuration); }
double GetTWave(void) noexcept { return Read(g_T); }
double GetPacingAmplitude(void) noexcept { return Read(g_PA); }
double GetPacingDuration(void) noexcept { return Read(g_PacingDuration); }
int GetPacingRate(void) noexcept { return Read(g_PacingRate); }
int GetOvershootTimeConstant(void) noexcept { return Read(g_PacingOvershootTC); }
int GetBaselineResetTest(void) noexcept { return Read(g_BaseLineOverload); }
int GetECG2_27_NoiseFreq(void) noexcept { return Read(g_MainNoise); }
double GetECG2_27_NoiseAmp(void) noexcept { return Read(g_MainsNoiseAmp); }
bool GetECG2_27_AAMIDriftTest(void) noexcept { return Read(g_AAMIDriftTest); }
bool GetDynamicRangeTest(void) noexcept { return Read(g_DynamicRangeTest); }
double GetDynamicRangeTestAmp(void) noexcept { return Read(g_ADynamicRange); }
double GetDynamicRangeTestFreq(void) noexcept { return Read(g_FDynamicRange); }
bool GetFreqScanSine(void) noexcept { return Read(g_FreqScan1); }
double GetFreqScanSineStartFreq(void) noexcept { return Read(g_Fstart); }
double GetFreqScanSineStopFreq(void) noexcept { return Read(g_Ffinal); }
int GetFreqScanSineDuration(void) noexcept { return Read(g_Fduration); }
bool GetFreqScanECG(void) noexcept { return Read(s_FreqScanOn); }

}  // extern "C"
