// Output functions and the synthetic ECG at points whose values are known
// beforehand (the characteristic points of each shape, worked out by hand),
// and the properties the recorded digests, taken at one rate and amplitude,
// do not pin: bounds belong to the later piece, settings read per sample,
// clamps, and the ECG's scaling with rate and amplitude.
#include <cmath>

#include "data/ecg_file.h"
#include "data/iec_tables.h"
#include "generator/synthetic_ecg.h"
#include "support/generator.h"

using namespace orna;
using namespace orna::test;

namespace {

double Value(int function, double h, double t = 0) {
  g_MainOutput = function;
  return _OutputValue(h, t);
}

}  // namespace

// Defaults of the fixture: 1 Hz, period 1 s, working amplitude 0.5 mV, width 0.1 s.
TEST_F(GeneratorTest, OutputFunctionsAtTheirCharacteristicPoints) {
  // Sine: from the waveform time and g_F, not from the phase.
  EXPECT_NEAR(Value(1, 0.0, 0.25), 0.5, 1e-9);
  EXPECT_NEAR(Value(1, 0.0, 1.75), -0.5, 1e-9);
  g_F = 7.3;  // read per sample, before any new period is derived
  EXPECT_NEAR(Value(1, 0.0, 1 / (4 * 7.3)), 0.5, 1e-9);
  EXPECT_NEAR(Value(1, 0.0, 1 + 1 / (4 * 7.3)), 0.5 * -0.30901699437494745, 1e-6);  // cos 108 degrees
  g_F = 1.0;

  const struct {
    int function;
    double h, v;
  } points[] = {
      // Triangle: 0, crest at a quarter, trough at three quarters.
      {2, 0.0, 0.0}, {2, 0.125, 0.25}, {2, 0.25, 0.5}, {2, 0.5, 0.0}, {2, 0.75, -0.5}, {2, 0.875, -0.25},
      // Square: the half period belongs to the lower half.
      {3, 0.0, 0.5}, {3, 0.4999, 0.5}, {3, 0.5, -0.5}, {3, 0.9999, -0.5},
      // Pulse of 0.1 s: 1 ms edges, half height at 0.0005 and 0.1005.
      {4, 0.0, -0.5}, {4, 0.0005, 0.0}, {4, 0.001, 0.5}, {4, 0.0999, 0.5}, {4, 0.1005, 0.0},
      {4, 0.101, -0.5}, {4, 0.6, -0.5},
      // Triangular pulse of base 0.1 s starting at once.
      {5, 0.0, -0.5}, {5, 0.025, 0.0}, {5, 0.05, 0.5}, {5, 0.075, 0.0}, {5, 0.1, -0.5}, {5, 0.7, -0.5},
      // Exponential with the full amplitude as working amplitude 0.5: +0.25, e^-1 - 0.5 at 0.05 s.
      {6, 0.0, 0.25}, {6, 0.05, 0.5 * (0.36787944117144233 - 0.5)},
      // Bi-exponential: +A, e^-10 A just before the half second, -A at it, -e^-1 A 50 ms on.
      {12, 0.0, 0.5}, {12, 0.4999999, 2.26999e-5}, {12, 0.5, -0.5}, {12, 0.55, -0.18393972058572117},
  };
  for (const auto& p : points)
    EXPECT_NEAR(Value(p.function, p.h), p.v, 1e-6) << "function " << p.function << " h " << p.h;

  // A pacing delay moves the triangular pulse 10 ms on.
  s_PacDelayTP = 0.01;
  EXPECT_NEAR(Value(5, 0.005), -0.5, 1e-12);
  EXPECT_NEAR(Value(5, 0.035), 0.0, 1e-12);
  EXPECT_NEAR(Value(5, 0.06), 0.5, 1e-12);
  EXPECT_NEAR(Value(5, 0.11), -0.5, 1e-12);
}

TEST_F(GeneratorTest, PacketsCarryTheSelectedFunctionPhaseByPhase) {
  // A 4 Hz square of 1 mV across a period end: +1 mV is code 2448, -1 mV 1648.
  g_MainOutput = 3;
  g_F = 4.0;
  s_tp = 0.25;
  s_A = 1.0;
  const Packet p = Build();
  const int at[] = {0, 620, 630, 1245, 1255, 1499};
  const int code[] = {2448, 2448, 1648, 1648, 2448, 2448};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(Code(p, at[k]), code[k]) << "sample " << at[k];
}

TEST_F(GeneratorTest, CalibrationECGWithNoiseDriftAndClamp) {
  s_A = 1.0;
  _ComputeCalECGBreakpoints();  // QRS 100 ms, T 0.2 mV
  const double points[][2] = {{0.005, 0.0},     {0.05375, 0.875}, {0.10375, -0.125}, {0.11, 0.0},
                              {0.15, 0.0},      {0.27, 0.2},      {0.36, 0.0},       {0.9, 0.0},
                              {0.031875, 0.4375}, {0.07875, 0.375}};
  for (const auto& p : points) EXPECT_NEAR(Value(7, p[0]), p[1], 1e-8) << p[0];
  g_T = 0.3;  // read per sample
  EXPECT_NEAR(Value(7, 0.27), 0.3, 1e-8);

  g_QRSDuration = 80;  // breakpoints 0.045, 0.085, 0.09, 0.16, 0.34
  _ComputeCalECGBreakpoints();
  EXPECT_NEAR(Value(7, 0.045), 0.875, 1e-8);
  EXPECT_NEAR(Value(7, 0.085), -0.125, 1e-8);
  EXPECT_NEAR(Value(7, 0.09), 0.0, 1e-8);
  EXPECT_NEAR(Value(7, 0.25), 0.3, 1e-8);
  EXPECT_NEAR(Value(7, 0.34), 0.0, 1e-8);

  // Mains noise of 0.05 mV: 50 Hz for 1, 60 Hz for any other non-zero value.
  s_MainsNoiseAmplitude = 0.05;
  g_MainNoise = 1;
  EXPECT_NEAR(Value(7, 0.5, 0.005), 0.05, 1e-9);
  EXPECT_NEAR(Value(7, 0.5, 1 / 240.0), 0.04829629129509702, 1e-9);
  for (int other : {2, 3, -1}) {
    g_MainNoise = other;
    EXPECT_NEAR(Value(7, 0.5, 1 / 240.0), 0.05, 1e-9) << other;
  }
  g_MainNoise = 0;

  // Drift: a ±2 mV triangle of 10 s from the waveform time.
  g_AAMIDriftTest = true;
  const double drift[][2] = {{0, 0}, {1, 0.8}, {2.5, 2}, {5, 0}, {7.5, -2}, {10, 0}, {12.5, 2}};
  for (const auto& d : drift) EXPECT_NEAR(Value(7, 0.5, d[0]), d[1], 1e-9) << d[0];
  // The sum is clamped to the full scale in force, whatever it is.
  s_A = 5.714;
  EXPECT_EQ(Value(7, 0.045, 2.5), 5.0);
  s_Range = 1.5;
  EXPECT_EQ(Value(7, 0.5, 7.5), -1.5);
  EXPECT_EQ(Value(7, 0.5, 2.5), 1.5);
  // Only the calibration ECG drifts.
  EXPECT_NEAR(Value(3, 0.1, 2.5), 5.714, 1e-12);
}

TEST_F(GeneratorTest, DynamicRangeOverlayOnTriangleAndSquareOnly) {
  g_DynamicRangeTest = true;
  g_ADynamicRange = 2.0;  // ±1 mV at 40 Hz: +1 at 6.25 ms, -1 at 18.75 ms
  g_FDynamicRange = 40.0;
  s_A = 1.0;
  EXPECT_NEAR(Value(3, 0.1, 0.00625), 2.0, 1e-9);
  EXPECT_NEAR(Value(2, 0.25, 0.01875), 0.0, 1e-9);
  EXPECT_NEAR(Value(1, 0.0, 0.25), 1.0, 1e-9);  // the sine has none
  s_A = 4.5;  // clipped at exactly ±5 mV
  EXPECT_EQ(Value(3, 0.1, 0.00625), 5.0);
  EXPECT_EQ(Value(3, 0.6, 0.01875), -5.0);
  EXPECT_EQ(Value(2, 0.25, 0.00625), 5.0);
}

TEST_F(GeneratorTest, PeriodsAndTableFunctionsStayUsable) {
  g_F = 4.0;
  for (int n : {1, 2, 3, 4, 5, 6, 7, 10, 11, 42}) {
    g_MainOutput = n;
    EXPECT_EQ(_PeriodOfSelectedFunction(), 0.25) << n;
  }
  for (int n : {9, 12}) {
    g_MainOutput = n;
    EXPECT_EQ(_PeriodOfSelectedFunction(), 1.0) << n;
  }
  g_MainOutput = 8;
  SpecialWaveFormNo = 4;
  EXPECT_EQ(_PeriodOfSelectedFunction(), 90.57083333333334);
  EXPECT_EQ(_OutputValue(31.5 / 720, 0), _IEC227Value(4, 31.5 / 720));
  for (int k : {-1, 10, 1 << 30}) {
    SpecialWaveFormNo = k;
    EXPECT_EQ(_PeriodOfSelectedFunction(), 1.0) << k;
    EXPECT_EQ(_OutputValue(0.5, 0), 0.0) << k;
  }
  g_MainOutput = 9;
  SpecialWaveFormNo = 0;
  EXPECT_EQ(_OutputValue(0.203, 7.0), _IEC251Value(0, 0.203));

  g_MainOutput = 13;
  EXPECT_EQ(_PeriodOfSelectedFunction(), 1.0);  // nothing loaded
  EXPECT_EQ(_OutputValue(0.25, 0), 0.0);
  double samples[4] = {1000, -2000, 3000, 500};
  ECGFile = samples;
  ECGFileSize = 4;
  ECGFileFreq = 10.0;
  EXPECT_EQ(_PeriodOfSelectedFunction(), 0.4);
  EXPECT_EQ(_OutputValue(0.25, 9.0), 3.0);
  ECGFileFreq = 0.0;
  EXPECT_EQ(_PeriodOfSelectedFunction(), 1.0);
  ECGFile = nullptr;
  ECGFileSize = 0;

  g_MainOutput = 2;
  g_F = 0.0;
  EXPECT_EQ(_PeriodOfSelectedFunction(), 1.0);
  s_tp = 0.0;  // before any apply: no division by a zero period
  EXPECT_EQ(_OutputValue(0.0, 0.1), 0.0);
}

// The beat at 1 Hz and 1 mV, at the times of its reference geometry.
TEST_F(GeneratorTest, SyntheticECGReferenceGeometry) {
  _ComputeECGTemplate();
  const struct {
    double h, notched, single;
  } points[] = {
      {0.0062203125, 0.05375, 0.05375},         // halfway up the P upstroke
      {0.012440625 + 0.25 / 20.0954534, 0.117, 0.117},  // first hump of the P plateau
      {0.087084375, 0.1075, 0.1075},            // end of the plateau, at its centre
      {0.093, 0.056382818387339925, 0.056382818387339925},  // P downstroke
      {0.11, 0.0, 0.0},                         // PR segment
      {0.1319625, -0.197, -0.197},              // Q trough
      {0.156, 0.8025, 0.8025},                  // first R crest
      {0.1677375, 0.358, 0.560978},             // notch / single fall
      {0.179475, 0.534, 0.319457},              // second crest / single fall
      {0.195, 0.0, 0.0},                        // end of R
      {0.247325, -0.058, -0.058},               // S trough
      {0.35197, -0.058, -0.058},                // ST segment
      {0.35198, -0.05816146899450149, -0.05816146899450149},  // the T wave steps in
      {0.423419934, -0.204, -0.204},            // T extreme
      {0.6, 0.0, 0.0},
  };
  for (const auto& p : points) {
    EXPECT_NEAR(Value(10, p.h), p.notched, 1e-6) << p.h;
    EXPECT_NEAR(Value(11, p.h), p.single, 1e-6) << p.h;
  }
  EXPECT_NEAR(Value(10, 0.156) - Value(10, 0.1319625), 0.9995, 1e-12);

  // A bound belongs to the later interval: the Q line starts at (negative)
  // zero, the T wave ends at 0. The bounds as the geometry defines them:
  const double b = 0.75 / 1.0, q_begin = 0.1653 * b, t_end = q_begin + 0.516 * b;
  EXPECT_FALSE(std::signbit(Value(10, std::nextafter(q_begin, 0.0))));
  EXPECT_TRUE(std::signbit(Value(10, q_begin)));
  EXPECT_EQ(Value(10, t_end), 0.0);
  EXPECT_LT(Value(10, std::nextafter(t_end, 0.0)), 0.0);

  for (int output : {10, 11}) {
    double max = -1, t_max = 0, min = 1, t_min = 0;
    for (int i = 0; i < 1000000; ++i) {
      const double v = Value(output, i * 1e-6);
      if (v > max) max = v, t_max = i * 1e-6;
      if (v < min) min = v, t_min = i * 1e-6;
    }
    EXPECT_NEAR(max, 0.8025, 1e-9);
    EXPECT_NEAR(t_max, 0.156, 1e-9);
    EXPECT_NEAR(min, -0.204, 1e-9);
    EXPECT_NEAR(t_min, 0.42342, 1e-6);
  }
}

TEST_F(GeneratorTest, SyntheticECGScalesWithRateAndAmplitude) {
  _ComputeECGTemplate();
  double at_1hz[2][1000];
  for (int i = 0; i < 1000; ++i) at_1hz[0][i] = Value(10, i * 0.001), at_1hz[1][i] = Value(11, i * 0.001);
  // The beat stretches with the period: the same values at the same fraction
  // of it, zero from 0.510975 of the period to its end.
  for (double f : {0.05, 7.0, 500.0}) {
    g_F = f;
    _ComputeECGTemplate();
    for (int i = 0; i < 1000; ++i) {
      ASSERT_NEAR(Value(10, i * 0.001 / f), at_1hz[0][i], 1e-9) << f << " " << i;
      ASSERT_NEAR(Value(11, i * 0.001 / f), at_1hz[1][i], 1e-9) << f << " " << i;
    }
    for (double x = 0.511; x < 1.0; x += 0.0001) ASSERT_EQ(Value(11, x / f), 0.0) << f << " " << x;
  }
  // Levels follow the amplitude, with its sign.
  g_F = 2.0;
  g_Amplitude = -2.0;
  _ComputeECGTemplate();
  EXPECT_NEAR(Value(10, 0.078), -1.605, 1e-12);

  g_MainOutput = 11;  // the builder plays the template over the period
  s_tp = 0.5;
  const Packet p = Build();
  EXPECT_EQ(Code(p, 390), 1406);  // h = 0.078 s: -1.605 mV
  EXPECT_EQ(Code(p, 1499), 2048);
  g_Amplitude = 0.0;
  _ComputeECGTemplate();
  for (double h = 0; h < 0.5; h += 0.0005) ASSERT_EQ(Value(10, h), 0.0) << h;
  g_F = 0.0;  // no usable rate: flat zero, no division anywhere
  g_Amplitude = 1.0;
  _ComputeECGTemplate();
  for (double h : {0.0, 0.1, 3.0}) EXPECT_EQ(Value(10, h) + Value(11, h), 0.0);
}
