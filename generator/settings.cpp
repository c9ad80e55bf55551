#include "generator/settings.h"

#include "orna.h"

namespace orna {

int g_MainOutput = kDefaultMainOutput;
int SpecialWaveFormNo = kDefaultSpecialWaveFormNo;
double g_Amplitude = kDefaultAmplitude;
double g_F = kDefaultF;
int g_DCSetting = kDefaultDCSetting;
bool g_DCVariable = kDefaultDCVariable;
bool g_DCCommon = kDefaultDCCommon;
int g_OutputLead = kDefaultOutputLead;
bool g_InputImpedance = kDefaultInputImpedance;
double g_PulseWidth = kDefaultPulseWidth;
double g_QRSDuration = kDefaultQRSDuration;
double g_T = kDefaultT;
double g_PA = kDefaultPA;
double g_PacingDuration = kDefaultPacingDuration;
int g_PacingRate = kDefaultPacingRate;
int g_PacingPulse = kDefaultPacingPulse;
int g_PacingOvershootTC = kDefaultPacingOvershootTC;
int g_MainNoise = kDefaultMainNoise;
double g_MainsNoiseAmp = kDefaultMainsNoiseAmp;
bool g_AAMIDriftTest = kDefaultAAMIDriftTest;
bool g_DynamicRangeTest = kDefaultDynamicRangeTest;
double g_ADynamicRange = kDefaultADynamicRange;
double g_FDynamicRange = kDefaultFDynamicRange;
bool g_FreqScan1 = kDefaultFreqScan1;
bool g_FreqScan3 = kDefaultFreqScan3;
double g_Fstart = kDefaultFstart;
double g_Ffinal = kDefaultFfinal;
int g_Fduration = kDefaultFduration;
int g_BaseLineOverload = kDefaultBaseLineOverload;

bool s_FreqScanOn = false;
double s_Range = 0;

}  // namespace orna

extern "C" {
double g_RangeV4Ch2On = orna::kDefaultRangeV4Ch2On;
double g_RangeV4Ch2Off = orna::kDefaultRangeV4Ch2Off;
}
