// Synthetic ECG template of output functions 10 and 11.
#pragma once

namespace orna {

// Geometry step: the 34 values of the beat (synthetic_ecg_internal.h) from
// g_F and g_Amplitude.
void _ComputeECGTemplate();
// Evaluation for output 10 or 11 at phase h, mV.
double _ECGTemplateValue(int output_function, double h);

}  // namespace orna
