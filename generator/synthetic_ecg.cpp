// Synthetic ECG of outputs 10 and 11: geometry once per change, evaluation per sample.
#include "generator/synthetic_ecg.h"

#include <cmath>

#include "generator/settings.h"
#include "generator/synthetic_ecg_internal.h"
#include "orna.h"

namespace orna {

namespace {

// The geometry of the beat, set once per change and read for every sample.
ECGTemplate s_ECG;

}  // namespace

const ECGTemplate& _ECGTemplateForTesting() { return s_ECG; }

void _ComputeECGTemplate() {
  if (!(g_F > 0.0) || !std::isfinite(g_F) || !std::isfinite(g_Amplitude)) {
    // No beat can be drawn: every bound at 0 makes the evaluation a flat zero
    // without reaching any of its divisions.
    s_ECG = ECGTemplate{};
    return;
  }

  ECGTemplate& e = s_ECG;
  const double B = 0.75 / g_F;         // beat scale: the shape stretches with the rate
  const double g = g_Amplitude * 0.5;  // level scale

  // P wave.
  e.s_tP_End = 0.1327 * B;
  e.s_tP_SinBegin = e.s_tP_End * 0.125;
  e.s_tP_SinEnd = e.s_tP_End * 7 * 0.125;
  e.s_P_SinAmpOffset = (0.196 * g + 0.234 * g) * 0.5;
  e.s_P_SinHalfAmp = (0.234 * g - 0.196 * g) * 0.5;
  e.s_P_SinFreq = 1.5 / (e.s_tP_SinEnd - e.s_tP_SinBegin);

  // Q wave.
  e.s_tQ_Begin = 0.1653 * B;
  e.s_tQ_End = e.s_tQ_Begin + 0.0213 * B;
  e.s_tQ_Trough = (e.s_tQ_Begin + e.s_tQ_End) * 0.5;
  e.s_tQ_ToTrough = e.s_tQ_Trough - e.s_tQ_Begin;
  e.s_tQ_FromTrough = e.s_tQ_End - e.s_tQ_Trough;
  e.s_aQ_Trough = -0.394 * g;

  // R wave: the points first, then the segments between them, so that every
  // straight piece ends exactly on its two points.
  e.s_tR1_Crest = e.s_tQ_Begin + 0.0427 * B;
  e.s_tR2_Crest = e.s_tQ_Begin + 0.074 * B;
  e.s_tR_End = e.s_tQ_Begin + 0.0947 * B;
  e.s_tR1_Trough = (e.s_tR1_Crest + e.s_tR2_Crest) * 0.5;
  e.s_aR1_Crest = 1.605 * g;
  e.s_aR_Trough = 0.716 * g;
  e.s_aR2_Crest = 1.068 * g;
  e.s_tR1_ToCrest = e.s_tR1_Crest - e.s_tQ_End;
  e.s_tR_ToTrough = e.s_tR_End - e.s_tR1_Crest;
  e.s_tR1_ToTrough = e.s_tR1_Trough - e.s_tR1_Crest;
  e.s_tR2_ToCrest = e.s_tR2_Crest - e.s_tR1_Trough;
  e.s_tR2_ToTrough = e.s_tR_End - e.s_tR2_Crest;
  e.s_R1_Amp = e.s_aR1_Crest - e.s_aR_Trough;
  e.s_R2_Amp = e.s_aR2_Crest - e.s_aR_Trough;

  // S wave, ST segment and T wave.
  e.s_tT_End = e.s_tQ_Begin + 0.516 * B;
  e.s_tS_End = e.s_tT_End - 0.212 * B;
  e.s_tS_Trough = e.s_tR_End + (e.s_tS_End - e.s_tR_End) / 3;
  e.s_tS_ToTrough = e.s_tS_Trough - e.s_tR_End;
  e.s_aS_Trough = -0.116 * g;
  e.s_tT_SinBegin = e.s_tT_End - (0.212 * B) / 0.908;
  e.p_T_SinFreq = 0.5 / (e.s_tT_End - e.s_tT_SinBegin);
  e.s_aT_Trough = -0.408 * g;
}

double _ECGTemplateValue(int output_function, double h) {
  const ECGTemplate& e = s_ECG;
  const bool notched = output_function == OutputFuncECGNotchedR;

  if (h < e.s_tP_SinBegin) return (h / e.s_tP_SinBegin) * e.s_P_SinAmpOffset;
  if (h < e.s_tP_SinEnd)
    return e.s_P_SinAmpOffset +
           e.s_P_SinHalfAmp * std::sin((h - e.s_tP_SinBegin) * 6.2831853 * e.s_P_SinFreq);
  if (h < e.s_tP_End)
    return e.s_P_SinAmpOffset - e.s_P_SinAmpOffset * ((h - e.s_tP_SinEnd) / e.s_tP_SinBegin);
  if (h < e.s_tQ_Begin) return 0.0;
  if (h < e.s_tQ_Trough) return ((h - e.s_tQ_Begin) / e.s_tQ_ToTrough) * e.s_aQ_Trough;
  if (h < e.s_tQ_End) return e.s_aQ_Trough - e.s_aQ_Trough * ((h - e.s_tQ_Trough) / e.s_tQ_FromTrough);
  if (h < e.s_tR1_Crest) return ((h - e.s_tQ_End) / e.s_tR1_ToCrest) * e.s_aR1_Crest;

  // Output 11 replaces the notch by one straight fall from the crest to zero,
  // over the same three intervals.
  if (!notched && (h < e.s_tR1_Trough || h < e.s_tR2_Crest || h < e.s_tR_End))
    return e.s_aR1_Crest - e.s_aR1_Crest * ((h - e.s_tR1_Crest) / e.s_tR_ToTrough);
  if (h < e.s_tR1_Trough) return e.s_aR1_Crest - e.s_R1_Amp * ((h - e.s_tR1_Crest) / e.s_tR1_ToTrough);
  if (h < e.s_tR2_Crest) return e.s_aR_Trough + e.s_R2_Amp * ((h - e.s_tR1_Trough) / e.s_tR2_ToCrest);
  if (h < e.s_tR_End) return e.s_aR2_Crest - e.s_aR2_Crest * ((h - e.s_tR2_Crest) / e.s_tR2_ToTrough);

  if (h < e.s_tS_Trough) return ((h - e.s_tR_End) / e.s_tS_ToTrough) * e.s_aS_Trough;
  if (h < e.s_tS_End) return e.s_aS_Trough;
  if (h < e.s_tT_End)
    return -(e.s_aT_Trough * std::sin((h - e.s_tT_SinBegin) * 6.2831853 * e.p_T_SinFreq + 3.14159265));
  return 0.0;
}

}  // namespace orna
