// TEMPORARY placeholders so the tree links while the generator is written.
#include "generator/output_functions.h"
#include "generator/pacing.h"
#include "generator/packet_builder.h"
#include "generator/synthetic_ecg.h"
namespace orna {
double s_t, s_tg, s_tp, s_Fd;
std::uint8_t s_SeqCheck;
ORNA_TimeAmpCB g_GraphCB;
ORNA_TimeAmpCB g_PacingGraphCB;
ORNA_SyncFreqCB g_SyncFreqCB;
ORNA_SyncMainFuncCB g_SyncMainFuncCB;
double _Phase(double, double) { return 0; }
void _EncodeSample(double, bool, bool, bool, unsigned char*) {}
void _BuildPacket(unsigned char*) {}
void _SendNextPacket() {}
double s_A, s_PW, s_PacDelayTP, s_t1, s_t2, s_t3, s_t4, s_t5, s_MainsNoiseAmplitude;
double _PeriodOfSelectedFunction() { return 1; }
void _ComputeCalECGBreakpoints() {}
double _OutputValue(double, double) { return 0; }
void _ComputeECGTemplate() {}
double _ECGTemplateValue(int, double) { return 0; }
int s_PulsesRequired;
double s_pp, s_OTC, s_POA;
int s_ppc;
bool s_PacingHighRange = true;
bool s_PacingHighRangeNeeded, s_PacingShortPulseNeeded, s_PacingIndicationNeeded;
bool _PacingPulseTriggered, _PacingHighRangeClearingNeeded;
void _SetupPacing() {}
void _CheckIfPacingPulseNeeded(double) {}
void _GetPacingV4(double&) {}
}  // namespace orna
extern "C" {
void RegisterTimeAmpCB(ORNA_TimeAmpCB) {}
void RegisterPacingTimeAmpCB(ORNA_TimeAmpCB) {}
void RegisterSyncFreqCB(ORNA_SyncFreqCB) {}
void RegisterSyncMainFuncCB(ORNA_SyncMainFuncCB) {}
}
