#include "control/settings.h"

#include "orna.h"

namespace orna {

int g_MainOutput = 0;
int SpecialWaveFormNo = 0;
double g_Amplitude = 1.0;
double g_F = 1.0;
int g_DCSetting = 0;
bool g_DCVariable = false;
bool g_DCCommon = false;
int g_OutputLead = 1;
bool g_InputImpedance = true;
double g_PulseWidth = 100.0;
double g_QRSDuration = 100.0;
double g_T = 0.2;
double g_PA = 0.0;
double g_PacingDuration = 2.0;
int g_PacingRate = 60;
int g_PacingPulse = 0;
int g_PacingOvershootTC = 0;
int g_MainNoise = 0;
double g_MainsNoiseAmp = 0.1;
bool g_AAMIDriftTest = false;
bool g_DynamicRangeTest = false;
double g_ADynamicRange = 1.0;
double g_FDynamicRange = 40.0;
bool g_FreqScan1 = false;
bool g_FreqScan3 = false;
bool s_FreqScanOn = false;
double g_Fstart = 0.67;
double g_Ffinal = 150.0;
int g_Fduration = 30;
int g_BaseLineOverload = 0;

}  // namespace orna

extern "C" {
double g_RangeV4Ch2On = 4.0;
double g_RangeV4Ch2Off = 5.0;
}
