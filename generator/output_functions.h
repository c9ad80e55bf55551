// Output functions: working values and per-sample evaluation.
#pragma once

namespace orna {

extern double s_A;                     // working amplitude, mV
extern double s_PW;                    // pulse width, s
extern double s_PacDelayTP;            // start of the triangular pulse, s
extern double s_t1, s_t2, s_t3, s_t4, s_t5;  // calibration-ECG breakpoints, s
extern double s_MainsNoiseAmplitude;   // mV

// Period of the selected output function (g_MainOutput), s.
double _PeriodOfSelectedFunction();
// Calibration-ECG breakpoints from g_QRSDuration.
void _ComputeCalECGBreakpoints();
// Value in mV of the selected output function for phase h and waveform time t.
double _OutputValue(double h, double t);

}  // namespace orna
