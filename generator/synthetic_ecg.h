// Synthetic ECG template of output functions 10 and 11.
#pragma once

namespace orna {

extern double s_tP_SinBegin, s_P_SinAmpOffset, s_tP_SinEnd, s_P_SinFreq, s_P_SinHalfAmp,
    s_tP_End, s_tQ_Begin, s_tQ_Trough, s_tQ_ToTrough, s_aQ_Trough, s_tQ_End,
    s_tQ_FromTrough, s_tR1_Crest, s_tR1_ToCrest, s_aR1_Crest, s_tR1_Trough,
    s_tR_ToTrough, s_tR1_ToTrough, s_R1_Amp, s_tR2_Crest, s_tR2_ToCrest, s_aR_Trough,
    s_R2_Amp, s_tR_End, s_aR2_Crest, s_tR2_ToTrough, s_tS_Trough, s_tS_ToTrough,
    s_aS_Trough, s_tS_End, s_tT_End, s_tT_SinBegin, p_T_SinFreq, s_aT_Trough;

// Geometry step: the 34 values from g_F and g_Amplitude.
void _ComputeECGTemplate();
// Evaluation for output 10 or 11 at phase h, mV.
double _ECGTemplateValue(int output_function, double h);

}  // namespace orna
