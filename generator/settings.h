// Settings store: every value the host can set, each beside its load-time
// default (the definitions start from it, ResetORNA restores it). The setters
// in control/ store these; the generator reads them for every sample.
#pragma once

namespace orna {

extern int g_MainOutput;
constexpr int kDefaultMainOutput = 0;
extern int SpecialWaveFormNo;
constexpr int kDefaultSpecialWaveFormNo = 0;
extern double g_Amplitude;
constexpr double kDefaultAmplitude = 1.0;
extern double g_F;
constexpr double kDefaultF = 1.0;
extern int g_DCSetting;
constexpr int kDefaultDCSetting = 0;
extern bool g_DCVariable;
constexpr bool kDefaultDCVariable = false;
extern bool g_DCCommon;
constexpr bool kDefaultDCCommon = false;
extern int g_OutputLead;
constexpr int kDefaultOutputLead = 1;  // lead 0 only
extern bool g_InputImpedance;
constexpr bool kDefaultInputImpedance = true;
extern double g_PulseWidth;
constexpr double kDefaultPulseWidth = 100.0;
extern double g_QRSDuration;
constexpr double kDefaultQRSDuration = 100.0;
extern double g_T;
constexpr double kDefaultT = 0.2;
extern double g_PA;
constexpr double kDefaultPA = 0.0;
extern double g_PacingDuration;
constexpr double kDefaultPacingDuration = 2.0;
extern int g_PacingRate;
constexpr int kDefaultPacingRate = 60;
extern int g_PacingPulse;
constexpr int kDefaultPacingPulse = 0;
extern int g_PacingOvershootTC;
constexpr int kDefaultPacingOvershootTC = 0;
extern int g_MainNoise;
constexpr int kDefaultMainNoise = 0;
extern double g_MainsNoiseAmp;
constexpr double kDefaultMainsNoiseAmp = 0.1;
extern bool g_AAMIDriftTest;
constexpr bool kDefaultAAMIDriftTest = false;
extern bool g_DynamicRangeTest;
constexpr bool kDefaultDynamicRangeTest = false;
extern double g_ADynamicRange;
constexpr double kDefaultADynamicRange = 1.0;
extern double g_FDynamicRange;
constexpr double kDefaultFDynamicRange = 40.0;
extern bool g_FreqScan1;
constexpr bool kDefaultFreqScan1 = false;
extern bool g_FreqScan3;
constexpr bool kDefaultFreqScan3 = false;
extern double g_Fstart;
constexpr double kDefaultFstart = 0.67;
extern double g_Ffinal;
constexpr double kDefaultFfinal = 150.0;
extern int g_Fduration;
constexpr int kDefaultFduration = 30;
extern int g_BaseLineOverload;
constexpr int kDefaultBaseLineOverload = 0;
// g_RangeV4Ch2On and g_RangeV4Ch2Off are exported (orna.h).
constexpr double kDefaultRangeV4Ch2On = 4.0;
constexpr double kDefaultRangeV4Ch2Off = 5.0;

// State that control/ derives from the settings and the generator reads.
extern bool s_FreqScanOn;  // a frequency scan moves g_F by s_Fd every sample
extern double s_Range;     // normal-range full scale in force, mV (clamp and sample codes)

}  // namespace orna
