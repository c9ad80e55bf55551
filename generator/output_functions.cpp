// Output functions 1-13: the value of one sample from its phase.
#include "generator/output_functions.h"

#include <cmath>

#include "data/ecg_file.h"
#include "data/iec_tables.h"
#include "generator/settings.h"
#include "generator/synthetic_ecg.h"
#include "generator/timebase.h"
#include "orna.h"

namespace orna {

double s_A;
double s_PW;
double s_PacDelayTP;
double s_t1, s_t2, s_t3, s_t4, s_t5;
double s_MainsNoiseAmplitude;

namespace {

// Used whenever the selected function has no usable period of its own
// (a waveform number outside its table, no loaded file): never 0 or NaN.
constexpr double kFallbackPeriod = 1.0;

double Clamp(double v, double limit) {
  if (v > limit) return limit;
  if (v < -limit) return -limit;
  return v;
}

// Outputs 2 and 3: a second sine laid over the waveform, kept within 5 mV.
double DynamicRangeOverlay(double v, double t) {
  if (!g_DynamicRangeTest) return v;
  v = v + g_ADynamicRange * 0.5 * std::sin(t * 6.2831853 * g_FDynamicRange);
  return Clamp(v, 5.0);
}

double Sine(double t) { return std::sin(t * 6.2831853 * g_F) * s_A; }

double Triangle(double h) {
  if (!(s_tp > 0.0)) return 0.0;  // no period yet
  const double k = s_A * 4 / s_tp;
  if (h < s_tp * 0.25) return h * k;
  if (h < s_tp * 0.75) return s_A * 2 - h * k;
  return h * k - s_A * 4;
}

double Square(double h) { return h < s_tp * 0.5 ? s_A : -s_A; }

double Pulse(double h) {
  if (h < 0.001) return s_A * 2 * h / 0.001 - s_A;
  const double e = s_PW + 0.001;
  if (h < e - 0.001) return s_A;
  if (h < e) return s_A - (h - e + 0.001) * s_A * 2 / 0.001;
  return -s_A;
}

double TrianglePulse(double h) {
  const double d = s_PacDelayTP;
  if (h < d) return -s_A;
  // Each branch below is reached only with s_PW > 0.
  if (h < s_PW * 0.5 + d) return s_A * 4 / s_PW * (h - d) - s_A;
  if (h < s_PW + d) return s_A * 4 - (h - d) * (s_A * 4 / s_PW) - s_A;
  return -s_A;
}

double Exponential(double h) { return std::exp(-h / 0.05) * s_A - s_A * 0.5; }

double CalECG(double h, double t) {
  // Every divisor is positive whenever its branch is reached.
  double v;
  if (h < 0.01) {
    v = 0.0;
  } else if (h < s_t1) {
    v = (h - 0.01) * 0.875 / (s_t1 - 0.01) * s_A;
  } else if (h < s_t2) {
    v = (0.875 - (h - s_t1) / (s_t2 - s_t1)) * s_A;
  } else if (h < s_t3) {
    v = ((h - s_t2) * 0.125 / (s_t3 - s_t2) - 0.125) * s_A;
  } else if (s_t4 <= h && h < s_t5) {
    v = std::sin((h - s_t4) * 6.2831853 / 0.36) * g_T;
  } else {
    v = 0.0;
  }

  if (g_MainNoise != 0) {
    const double f = g_MainNoise == 1 ? 50.0 : 60.0;
    v = v + std::sin(t * 6.2831853 * f) * s_MainsNoiseAmplitude;
  }

  if (g_AAMIDriftTest) {
    const double d = t - 10 * std::trunc(t / 10);
    if (d < 2.5) {
      v = v + d * 0.8;
    } else if (d < 7.5) {
      v = v + (4 - d * 0.8);
    } else {
      v = v + (d * 0.8 - 8);
    }
  }

  return Clamp(v, s_Range);
}

double BiExponential(double h) {
  if (h < 0.5) return std::exp(-h / 0.05) * s_A;
  return -(s_A * std::exp(-(h - 0.5) / 0.05));
}

}  // namespace

double _PeriodOfSelectedFunction() {
  switch (g_MainOutput) {
    case OutputFuncIEC227: {
      const int k = SpecialWaveFormNo;
      if (k < 0 || k >= kIEC227Count || !(IEC227WL[k] > 0.0)) return kFallbackPeriod;
      return IEC227WL[k];
    }
    case OutputFuncIEC251:
    case OutputFuncBiExponential:
      return 1.0;
    case OutputFuncECGFile:
      if (ECGFile == nullptr || ECGFileSize <= 0 || !(ECGFileFreq > 0.0)) return kFallbackPeriod;
      return ECGFileSize / ECGFileFreq;
    default:
      if (!(g_F > 0.0)) return kFallbackPeriod;
      return 1 / g_F;
  }
}

void _ComputeCalECGBreakpoints() {
  s_t1 = g_QRSDuration / 1000 * 0.4375 + 0.01;
  s_t2 = g_QRSDuration / 1000 * 0.5 + s_t1;
  s_t3 = g_QRSDuration / 1000 * 0.0625 + s_t2;
  s_t4 = s_t3 + 0.07;
  s_t5 = s_t4 + 0.18;
}

double _OutputValue(double h, double t) {
  switch (g_MainOutput) {
    case OutputFuncSine:
      return Sine(t);
    case OutputFuncTriangle:
      return DynamicRangeOverlay(Triangle(h), t);
    case OutputFuncSquare:
      return DynamicRangeOverlay(Square(h), t);
    case OutputFuncPulse:
      return Pulse(h);
    case OutputFuncTrianglePulse:
      return TrianglePulse(h);
    case OutputFuncExponential:
      return Exponential(h);
    case OutputFuncCalECG:
      return CalECG(h, t);
    case OutputFuncIEC227:
      return _IEC227Value(SpecialWaveFormNo, h);
    case OutputFuncIEC251:
      return _IEC251Value(SpecialWaveFormNo, h);
    case OutputFuncECGNotchedR:
    case OutputFuncECGSingleR:
      return _ECGTemplateValue(g_MainOutput, h);
    case OutputFuncBiExponential:
      return BiExponential(h);
    case OutputFuncECGFile:
      return _ECGFileValue(h);
    default:
      return 0.0;  // numbers without a function send 0 mV
  }
}

}  // namespace orna
