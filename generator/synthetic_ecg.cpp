// Synthetic ECG of outputs 10 and 11: geometry once per change, evaluation per sample.
#include "generator/synthetic_ecg.h"

#include <cmath>

#include "control/settings.h"
#include "orna.h"

namespace orna {

double s_tP_SinBegin, s_P_SinAmpOffset, s_tP_SinEnd, s_P_SinFreq, s_P_SinHalfAmp, s_tP_End,
    s_tQ_Begin, s_tQ_Trough, s_tQ_ToTrough, s_aQ_Trough, s_tQ_End, s_tQ_FromTrough, s_tR1_Crest,
    s_tR1_ToCrest, s_aR1_Crest, s_tR1_Trough, s_tR_ToTrough, s_tR1_ToTrough, s_R1_Amp, s_tR2_Crest,
    s_tR2_ToCrest, s_aR_Trough, s_R2_Amp, s_tR_End, s_aR2_Crest, s_tR2_ToTrough, s_tS_Trough,
    s_tS_ToTrough, s_aS_Trough, s_tS_End, s_tT_End, s_tT_SinBegin, p_T_SinFreq, s_aT_Trough;

void _ComputeECGTemplate() {
  if (!(g_F > 0.0) || !std::isfinite(g_F) || !std::isfinite(g_Amplitude)) {
    // No beat can be drawn: every bound at 0 makes the evaluation a flat zero
    // without reaching any of its divisions.
    double* const all[] = {
        &s_tP_SinBegin,  &s_P_SinAmpOffset, &s_tP_SinEnd,    &s_P_SinFreq,   &s_P_SinHalfAmp,
        &s_tP_End,       &s_tQ_Begin,       &s_tQ_Trough,    &s_tQ_ToTrough, &s_aQ_Trough,
        &s_tQ_End,       &s_tQ_FromTrough,  &s_tR1_Crest,    &s_tR1_ToCrest, &s_aR1_Crest,
        &s_tR1_Trough,   &s_tR_ToTrough,    &s_tR1_ToTrough, &s_R1_Amp,      &s_tR2_Crest,
        &s_tR2_ToCrest,  &s_aR_Trough,      &s_R2_Amp,       &s_tR_End,      &s_aR2_Crest,
        &s_tR2_ToTrough, &s_tS_Trough,      &s_tS_ToTrough,  &s_aS_Trough,   &s_tS_End,
        &s_tT_End,       &s_tT_SinBegin,    &p_T_SinFreq,    &s_aT_Trough};
    for (double* p : all) *p = 0.0;
    return;
  }

  const double B = 0.75 / g_F;         // beat scale: the shape stretches with the rate
  const double g = g_Amplitude * 0.5;  // level scale

  // P wave.
  s_tP_End = 0.1327 * B;
  s_tP_SinBegin = s_tP_End * 0.125;
  s_tP_SinEnd = s_tP_End * 7 * 0.125;
  s_P_SinAmpOffset = (0.196 * g + 0.234 * g) * 0.5;
  s_P_SinHalfAmp = (0.234 * g - 0.196 * g) * 0.5;
  s_P_SinFreq = 1.5 / (s_tP_SinEnd - s_tP_SinBegin);

  // Q wave.
  s_tQ_Begin = 0.1653 * B;
  s_tQ_End = s_tQ_Begin + 0.0213 * B;
  s_tQ_Trough = (s_tQ_Begin + s_tQ_End) * 0.5;
  s_tQ_ToTrough = s_tQ_Trough - s_tQ_Begin;
  s_tQ_FromTrough = s_tQ_End - s_tQ_Trough;
  s_aQ_Trough = -0.394 * g;

  // R wave: the points first, then the segments between them, so that every
  // straight piece ends exactly on its two points.
  s_tR1_Crest = s_tQ_Begin + 0.0427 * B;
  s_tR2_Crest = s_tQ_Begin + 0.074 * B;
  s_tR_End = s_tQ_Begin + 0.0947 * B;
  s_tR1_Trough = (s_tR1_Crest + s_tR2_Crest) * 0.5;
  s_aR1_Crest = 1.605 * g;
  s_aR_Trough = 0.716 * g;
  s_aR2_Crest = 1.068 * g;
  s_tR1_ToCrest = s_tR1_Crest - s_tQ_End;
  s_tR_ToTrough = s_tR_End - s_tR1_Crest;
  s_tR1_ToTrough = s_tR1_Trough - s_tR1_Crest;
  s_tR2_ToCrest = s_tR2_Crest - s_tR1_Trough;
  s_tR2_ToTrough = s_tR_End - s_tR2_Crest;
  s_R1_Amp = s_aR1_Crest - s_aR_Trough;
  s_R2_Amp = s_aR2_Crest - s_aR_Trough;

  // S wave, ST segment and T wave.
  s_tT_End = s_tQ_Begin + 0.516 * B;
  s_tS_End = s_tT_End - 0.212 * B;
  s_tS_Trough = s_tR_End + (s_tS_End - s_tR_End) / 3;
  s_tS_ToTrough = s_tS_Trough - s_tR_End;
  s_aS_Trough = -0.116 * g;
  s_tT_SinBegin = s_tT_End - (0.212 * B) / 0.908;
  p_T_SinFreq = 0.5 / (s_tT_End - s_tT_SinBegin);
  s_aT_Trough = -0.408 * g;
}

double _ECGTemplateValue(int output_function, double h) {
  const bool notched = output_function == OutputFuncECGNotchedR;

  if (h < s_tP_SinBegin) return (h / s_tP_SinBegin) * s_P_SinAmpOffset;
  if (h < s_tP_SinEnd)
    return s_P_SinAmpOffset +
           s_P_SinHalfAmp * std::sin((h - s_tP_SinBegin) * 6.2831853 * s_P_SinFreq);
  if (h < s_tP_End)
    return s_P_SinAmpOffset - s_P_SinAmpOffset * ((h - s_tP_SinEnd) / s_tP_SinBegin);
  if (h < s_tQ_Begin) return 0.0;
  if (h < s_tQ_Trough) return ((h - s_tQ_Begin) / s_tQ_ToTrough) * s_aQ_Trough;
  if (h < s_tQ_End) return s_aQ_Trough - s_aQ_Trough * ((h - s_tQ_Trough) / s_tQ_FromTrough);
  if (h < s_tR1_Crest) return ((h - s_tQ_End) / s_tR1_ToCrest) * s_aR1_Crest;

  // Output 11 replaces the notch by one straight fall from the crest to zero,
  // over the same three intervals.
  if (!notched && (h < s_tR1_Trough || h < s_tR2_Crest || h < s_tR_End))
    return s_aR1_Crest - s_aR1_Crest * ((h - s_tR1_Crest) / s_tR_ToTrough);
  if (h < s_tR1_Trough) return s_aR1_Crest - s_R1_Amp * ((h - s_tR1_Crest) / s_tR1_ToTrough);
  if (h < s_tR2_Crest) return s_aR_Trough + s_R2_Amp * ((h - s_tR1_Trough) / s_tR2_ToCrest);
  if (h < s_tR_End) return s_aR2_Crest - s_aR2_Crest * ((h - s_tR2_Crest) / s_tR2_ToTrough);

  if (h < s_tS_Trough) return ((h - s_tR_End) / s_tS_ToTrough) * s_aS_Trough;
  if (h < s_tS_End) return s_aS_Trough;
  if (h < s_tT_End)
    return -(s_aT_Trough * std::sin((h - s_tT_SinBegin) * 6.2831853 * p_T_SinFreq + 3.14159265));
  return 0.0;
}

}  // namespace orna
