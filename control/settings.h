// Settings store: every value the host can set, with its load-time default.
#pragma once

namespace orna {

extern int g_MainOutput;
extern int SpecialWaveFormNo;
extern double g_Amplitude;
extern double g_F;
extern int g_DCSetting;
extern bool g_DCVariable;
extern bool g_DCCommon;
extern int g_OutputLead;
extern bool g_InputImpedance;
extern double g_PulseWidth;
extern double g_QRSDuration;
extern double g_T;
extern double g_PA;
extern double g_PacingDuration;
extern int g_PacingRate;
extern int g_PacingPulse;
extern int g_PacingOvershootTC;
extern int g_MainNoise;
extern double g_MainsNoiseAmp;
extern bool g_AAMIDriftTest;
extern bool g_DynamicRangeTest;
extern double g_ADynamicRange;
extern double g_FDynamicRange;
extern bool g_FreqScan1;
extern bool g_FreqScan3;
extern bool s_FreqScanOn;
extern double g_Fstart;
extern double g_Ffinal;
extern int g_Fduration;
extern int g_BaseLineOverload;
// g_RangeV4Ch2On and g_RangeV4Ch2Off are exported (orna.h).

}  // namespace orna
