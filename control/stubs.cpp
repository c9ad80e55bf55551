// TEMPORARY placeholders so the tree links while control is written.
#include "control/apply.h"
#include "control/relays.h"
#include "control/scheduling.h"
#include "orna.h"
namespace orna {
bool s_ChangeOnNextCycle;
void _ChangeRequested() {}
void _ApplyAtOnce() {}
bool s_ECGGoing, _ChangeInProcess, _DCVariableOn;
double _DCVariablePrev;
void _Change() {}
int s_K;
double s_Range;
std::uint32_t _RelayWord() { return 0; }
void _SetRelaysV4() {}
void _UpdateRange() {}
}  // namespace orna
extern "C" {
int ResetORNA(void) { return 0; }
int CloseORNA(void) { return -1; }
int SetOutputFunc(int) { return -1; }
int SetSpecialWave227(int) { return 0; }
int SetSpecialWave251(int) { return 0; }
int SetAmplitude(double) { return -1; }
int SetFrequency(double) { return -1; }
int SetDCOffset(int) { return -1; }
int SetDCOffsetVariableMode(bool) { return -1; }
int SetPulseWidth(double) { return -1; }
int SetQRSDuration(double) { return -1; }
int SetTWave(double) { return -1; }
int SetPacingAmplitude(double) { return -1; }
int SetPacingDuration(double) { return -1; }
int SetPacingRate(int) { return -1; }
int SetPacingPulseMode(int) { return -1; }
int SetOvershootTimeConstant(int) { return -1; }
int SetOutputLead(int, bool) { return -1; }
int SetInputImpedanceMode(bool) { return -1; }
int SetDCOffsetCommoneMode(bool) { return -1; }
int SetFreqScanSine(bool, double, double, int) { return -1; }
int SetFreqScanECG(bool) { return -1; }
int SetECG2_27_Noise(int, double) { return -1; }
int SetECG2_27_AAMIDriftTest(bool) { return -1; }
int SetDynamicRangeTest(bool, double, double) { return -1; }
int SetBaselineResetTest(int) { return -1; }
}
