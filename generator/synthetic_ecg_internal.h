// The 34 values of the synthetic ECG's geometry step, kept inside
// synthetic_ecg.cpp; exposed here only for tests and benchmarks.
#pragma once

namespace orna {

struct ECGTemplate {
  // P wave.
  double s_tP_SinBegin = 0, s_P_SinAmpOffset = 0, s_tP_SinEnd = 0, s_P_SinFreq = 0,
         s_P_SinHalfAmp = 0, s_tP_End = 0;
  // Q wave.
  double s_tQ_Begin = 0, s_tQ_Trough = 0, s_tQ_ToTrough = 0, s_aQ_Trough = 0, s_tQ_End = 0,
         s_tQ_FromTrough = 0;
  // R wave (two crests with the notch between them).
  double s_tR1_Crest = 0, s_tR1_ToCrest = 0, s_aR1_Crest = 0, s_tR1_Trough = 0, s_tR_ToTrough = 0,
         s_tR1_ToTrough = 0, s_R1_Amp = 0;
  double s_tR2_Crest = 0, s_tR2_ToCrest = 0, s_aR_Trough = 0, s_R2_Amp = 0, s_tR_End = 0,
         s_aR2_Crest = 0, s_tR2_ToTrough = 0;
  // S wave, ST segment and T wave.
  double s_tS_Trough = 0, s_tS_ToTrough = 0, s_aS_Trough = 0, s_tS_End = 0, s_tT_End = 0,
         s_tT_SinBegin = 0, p_T_SinFreq = 0, s_aT_Trough = 0;
};

// The values of the last geometry step.
const ECGTemplate& _ECGTemplateForTesting();

}  // namespace orna
