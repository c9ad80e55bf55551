// Output functions sample for sample, their periods, and the synthetic ECG.
#include <algorithm>
#include <cmath>

#include "data/ecg_file.h"
#include "data/iec_tables.h"
#include "generator/synthetic_ecg.h"
#include "generator/synthetic_ecg_internal.h"
#include "generator_fixture.h"

using namespace gentest;
using namespace orna;

namespace {

void ExpectTwoPackets(int function, double f, double a, double t0,
                      const std::function<double(double, double)>& value) {
  SCOPED_TRACE(function);
  g_MainOutput = function;
  g_F = f;
  s_tp = 1 / f;
  s_A = a;
  s_t = t0;
  const Packet first = Build(), second = Build();
  ExpectCodes({first, second}, ExpectedCodes(t0, 1 / f, 3000, value));
}

double Clip(double v, double limit) { return std::max(-limit, std::min(limit, v)); }

}  // namespace

TEST_F(GeneratorTest, OutputFunctionsSampleForSample) {
  s_PW = 0.05;
  ExpectTwoPackets(1, 7.3, 0.8, 0,
                   [](double, double t) { return std::sin(t * 6.2831853 * 7.3) * 0.8; });
  ExpectTwoPackets(2, 2.0, 1.2, 0, [](double h, double) {
    return h < 0.125 ? h * 9.6 : (h < 0.375 ? 2.4 - h * 9.6 : h * 9.6 - 4.8);
  });
  ExpectTwoPackets(3, 2.5, -0.7, 0.1, [](double h, double) { return h < 0.2 ? -0.7 : 0.7; });
  ExpectTwoPackets(4, 3.0, 1.0, 0, [](double h, double) {
    const double e = 0.05 + 0.001;  // width plus the falling edge
    if (h < 0.001) return 2 * h / 0.001 - 1;
    return h < e - 0.001 ? 1.0 : (h < e ? 1 - (h - e + 0.001) * 2 / 0.001 : -1.0);
  });
  ExpectTwoPackets(6, 2.0, 2.0, 0, [](double h, double) { return std::exp(-h / 0.05) * 2 - 1; });
  ExpectTwoPackets(12, 1.0, 0.5, 0, [](double h, double) {
    return h < 0.5 ? std::exp(-h / 0.05) * 0.5 : -(0.5 * std::exp(-(h - 0.5) / 0.05));
  });
  s_PW = 0.1;
  s_PacDelayTP = 0.01;  // the triangular pulse waits 10 ms while pacing is set up
  ExpectTwoPackets(5, 3.0, 1.0, 0, [](double h, double) {
    if (h < 0.01) return -1.0;
    if (h < 0.1 * 0.5 + 0.01) return 4 / 0.1 * (h - 0.01) - 1;
    return h < 0.1 + 0.01 ? 4 - (h - 0.01) * (4 / 0.1) - 1 : -1.0;
  });

  // Dynamic-range overlay on the square, clipped at 5 mV both ways.
  g_DynamicRangeTest = true;
  g_ADynamicRange = 2.0;
  g_FDynamicRange = 40.0;
  ExpectTwoPackets(3, 2.0, 4.5, 0, [](double h, double t) {
    return Clip((h < 0.25 ? 4.5 : -4.5) + 2.0 * 0.5 * std::sin(t * 6.2831853 * 40.0), 5.0);
  });
  EXPECT_EQ(_OutputValue(0.1, 0.00625), 5.0);
  EXPECT_EQ(_OutputValue(0.3, 0.01875), -5.0);
}

TEST_F(GeneratorTest, CalibrationECGWithNoiseDriftAndClamp) {
  _ComputeCalECGBreakpoints();
  const double defaults[][2] = {
      {s_t1, 0.05375}, {s_t2, 0.10375}, {s_t3, 0.11}, {s_t4, 0.18}, {s_t5, 0.36}};
  for (const auto& b : defaults) EXPECT_NEAR(b[0], b[1], 1e-15);
  g_QRSDuration = 80;
  g_T = 0.3;
  g_MainNoise = 2;  // any value but 1 is 60 Hz
  s_MainsNoiseAmplitude = 0.05;
  g_AAMIDriftTest = true;
  _ComputeCalECGBreakpoints();
  const double t1 = 0.08 * 0.4375 + 0.01, t2 = 0.04 + t1, t3 = 0.005 + t2, t4 = t3 + 0.07,
               t5 = t4 + 0.18;
  auto ecg = [=](double h, double t) {
    double v = 0;
    if (h >= 0.01 && h < t1) v = (h - 0.01) * 0.875 / (t1 - 0.01) * 4.0;
    if (h >= t1 && h < t2) v = (0.875 - (h - t1) / (t2 - t1)) * 4.0;
    if (h >= t2 && h < t3) v = ((h - t2) * 0.125 / (t3 - t2) - 0.125) * 4.0;
    if (h >= t4 && h < t5) v = std::sin((h - t4) * 6.2831853 / 0.36) * 0.3;
    v += std::sin(t * 6.2831853 * 60) * 0.05;
    const double d = t - 10 * static_cast<long long>(t / 10);
    return Clip(v + (d < 2.5 ? d * 0.8 : (d < 7.5 ? 4 - d * 0.8 : d * 0.8 - 8)), 5.0);
  };
  // 2.3 s into the run: the drift turns at 2.5 s and lifts the QRS over 5 mV.
  ExpectTwoPackets(7, 1.5, 4.0, 2.3, ecg);
  EXPECT_EQ(_OutputValue(t1, 2.5), 5.0);
  g_MainNoise = 0;
  EXPECT_NEAR(_OutputValue(0.5, 7.5), -2.0, 1e-12);
  EXPECT_NEAR(_OutputValue(0.5, 5.0), 0.0, 1e-12);
  g_MainNoise = 1;
  EXPECT_EQ(_OutputValue(0.5, 10.005),
            std::sin(10.005 * 6.2831853 * 50) * 0.05 + (10.005 - 10) * 0.8);
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

TEST_F(GeneratorTest, SyntheticECGReferenceGeometry) {
  const ECGTemplate& e = _ECGTemplateForTesting();
  _ComputeECGTemplate();
  const double times[][2] = {{e.s_tP_SinBegin, 0.012440625}, {e.s_tP_SinEnd, 0.087084375},
                             {e.s_tP_End, 0.099525},         {e.s_tQ_Begin, 0.123975},
                             {e.s_tQ_Trough, 0.1319625},     {e.s_tQ_End, 0.13995},
                             {e.s_tR1_Crest, 0.156},         {e.s_tR1_Trough, 0.1677375},
                             {e.s_tR2_Crest, 0.179475},      {e.s_tR_End, 0.195},
                             {e.s_tS_Trough, 0.247325},      {e.s_tT_SinBegin, 0.335864868},
                             {e.s_tS_End, 0.351975},         {e.s_tT_End, 0.510975},
                             {e.s_P_SinFreq, 20.0954534},    {e.p_T_SinFreq, 2.85534591}};
  for (const auto& t : times) EXPECT_NEAR(t[0], t[1], 1e-7);
  auto ecg = _ECGTemplateValue;
  EXPECT_NEAR(ecg(10, e.s_tP_SinBegin + 0.25 / e.s_P_SinFreq), 0.1075 + 0.0095, 1e-9);
  EXPECT_NEAR(ecg(10, e.s_tQ_Trough), -0.197, 1e-12);
  EXPECT_NEAR(ecg(10, e.s_tR1_Crest) - ecg(10, e.s_tQ_Trough), 0.9995, 1e-12);
  EXPECT_NEAR(ecg(10, e.s_tR1_Trough), 0.358, 1e-12);
  EXPECT_NEAR(ecg(10, e.s_tR2_Crest), 0.534, 1e-12);
  EXPECT_NEAR(ecg(11, e.s_tR1_Trough), 0.560978, 1e-6);
  EXPECT_NEAR(ecg(11, e.s_tR2_Crest), 0.319457, 1e-6);
  EXPECT_NEAR(ecg(11, e.s_tS_Trough), -0.058, 1e-12);
  // A bound belongs to the later interval: the ST level steps into the T wave,
  // the Q line starts at (negative) zero, the T wave ends at 0.
  EXPECT_EQ(ecg(10, std::nextafter(e.s_tS_End, 0.0)), -0.058);
  EXPECT_NEAR(ecg(10, e.s_tS_End), -0.0581439, 1e-7);
  EXPECT_FALSE(std::signbit(ecg(10, std::nextafter(e.s_tQ_Begin, 0.0))));
  EXPECT_TRUE(std::signbit(ecg(10, e.s_tQ_Begin)));
  EXPECT_EQ(ecg(10, e.s_tT_End), 0.0);

  for (int output : {10, 11}) {
    double max = -1, t_max = 0, min = 1, t_min = 0;
    for (int i = 0; i < 1000000; ++i) {
      const double v = ecg(output, i * 1e-6);
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
  const ECGTemplate& e = _ECGTemplateForTesting();
  for (double f : {0.05, 7.0, 500.0}) {
    g_F = f;
    _ComputeECGTemplate();
    const double order[] = {0,           e.s_tP_SinBegin, e.s_tP_SinEnd,   e.s_tP_End,     e.s_tQ_Begin,
                            e.s_tQ_Trough, e.s_tQ_End,      e.s_tR1_Crest,   e.s_tR1_Trough, e.s_tR2_Crest,
                            e.s_tR_End,    e.s_tS_Trough,   e.s_tT_SinBegin, e.s_tS_End,     e.s_tT_End,
                            1 / f};
    EXPECT_TRUE(std::is_sorted(std::begin(order), std::end(order), std::less_equal<double>())) << f;
    EXPECT_NEAR(_ECGTemplateValue(10, 0.156 / f), 0.8025, 1e-9) << f;
    for (double x = 0.510975; x < 1.0; x += 0.001)
      ASSERT_EQ(_ECGTemplateValue(11, std::max(x / f, e.s_tT_End)), 0.0) << f << " " << x;
  }
  g_F = 2.0;
  g_Amplitude = -2.0;
  _ComputeECGTemplate();
  EXPECT_NEAR(_ECGTemplateValue(10, 0.078), -1.605, 1e-12);

  g_MainOutput = 11;  // the builder plays the template over the period
  s_tp = 0.5;
  const Packet p = Build();
  EXPECT_EQ(Code(p, 390), NormalCode(-1.605));  // h = 0.078 s
  EXPECT_EQ(Code(p, 1499), 2048);
  g_Amplitude = 0.0;
  _ComputeECGTemplate();
  for (double h = 0; h < 0.5; h += 0.0005) ASSERT_EQ(_ECGTemplateValue(10, h), 0.0) << h;
  g_F = 0.0;  // no usable rate: flat zero, no division anywhere
  g_Amplitude = 1.0;
  _ComputeECGTemplate();
  for (double h : {0.0, 0.1, 3.0})
    EXPECT_EQ(_ECGTemplateValue(10, h) + _ECGTemplateValue(11, h), 0.0);
}
