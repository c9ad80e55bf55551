// Odd values from the host for every exported function: NaN, infinities, the
// bounds and one step beyond, huge and negative integers, bad paths and bad
// files. Each gets its defined result; a refused call changes no setting and
// sends nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <unistd.h>

#include "data/ecg_file.h"
#include "emulator/virtual_instrument.h"
#include "link/lock.h"
#include "orna.h"
#include "support/files.h"
#include "support/instrument.h"

using namespace std::chrono_literals;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();
constexpr int kIntMax = std::numeric_limits<int>::max();

// Every value a getter reports.
std::vector<double> Settings() {
  std::vector<double> v = {
      double(GetOutputFunc()), double(GetSpecialWave227()), double(GetSpecialWave251()),
      GetAmplitude(), GetFrequency(), double(GetDCOffset()), double(GetDCOffsetVariableMode()),
      double(GetDCOffsetCommoneMode()), GetPulseWidth(), double(GetInputImpedanceMode()),
      double(GetPacingPulseMode()), GetQRSDuration(), GetTWave(), GetPacingAmplitude(),
      GetPacingDuration(), double(GetPacingRate()), double(GetOvershootTimeConstant()),
      double(GetBaselineResetTest()), double(GetECG2_27_NoiseFreq()), GetECG2_27_NoiseAmp(),
      double(GetECG2_27_AAMIDriftTest()), double(GetDynamicRangeTest()),
      GetDynamicRangeTestAmp(), GetDynamicRangeTestFreq(), double(GetFreqScanSine()),
      GetFreqScanSineStartFreq(), GetFreqScanSineStopFreq(), double(GetFreqScanSineDuration()),
      double(GetFreqScanECG())};
  for (int lead = -1; lead <= 32; ++lead) v.push_back(GetOutputLead(lead));
  return v;
}

struct Refused {
  const char* call;
  int expected;
  std::function<int()> run;
};

}  // namespace

TEST(BadInput, EverySetterRefusesOddValuesAndChangesNothing) {
  orna::emu::VirtualInstrument vi;
  orna::test::ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  // Streaming output 1, so that refusals that depend on the output show too.
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_TRUE(vi.wait_for_packets(1, 1s));
  vi.wait_quiet(30ms, 1s);

  const std::vector<Refused> refused = {
      {"SetOutputFunc(-1)", -2, [] { return SetOutputFunc(-1); }},
      {"SetOutputFunc(14)", -2, [] { return SetOutputFunc(14); }},
      {"SetOutputFunc(INT_MIN)", -2, [] { return SetOutputFunc(kIntMin); }},
      {"SetOutputFunc(INT_MAX)", -2, [] { return SetOutputFunc(kIntMax); }},
      {"SetSpecialWave227(-1)", -2, [] { return SetSpecialWave227(-1); }},
      {"SetSpecialWave227(10)", -2, [] { return SetSpecialWave227(10); }},
      {"SetSpecialWave227(INT_MIN)", -2, [] { return SetSpecialWave227(kIntMin); }},
      {"SetSpecialWave251(6)", -2, [] { return SetSpecialWave251(6); }},
      {"SetSpecialWave251(INT_MAX)", -2, [] { return SetSpecialWave251(kIntMax); }},
      {"SetAmplitude(NaN)", -2, [] { return SetAmplitude(kNaN); }},
      {"SetAmplitude(inf)", -2, [] { return SetAmplitude(kInf); }},
      {"SetAmplitude(-inf)", -2, [] { return SetAmplitude(-kInf); }},
      {"SetAmplitude(10+)", -2, [] { return SetAmplitude(std::nextafter(10.0, 11.0)); }},
      {"SetAmplitude(-10-)", -2, [] { return SetAmplitude(std::nextafter(-10.0, -11.0)); }},
      {"SetAmplitude(max)", -2, [] { return SetAmplitude(kMax); }},
      {"SetFrequency(NaN)", -2, [] { return SetFrequency(kNaN); }},
      {"SetFrequency(inf)", -2, [] { return SetFrequency(kInf); }},
      {"SetFrequency(0)", -2, [] { return SetFrequency(0.0); }},
      {"SetFrequency(0.05-)", -2, [] { return SetFrequency(std::nextafter(0.05, 0.0)); }},
      {"SetFrequency(500+)", -2, [] { return SetFrequency(std::nextafter(500.0, 501.0)); }},
      {"SetFrequency(-1)", -2, [] { return SetFrequency(-1.0); }},
      {"SetDCOffset(301)", -2, [] { return SetDCOffset(301); }},
      {"SetDCOffset(-301)", -2, [] { return SetDCOffset(-301); }},
      {"SetDCOffset(INT_MIN)", -2, [] { return SetDCOffset(kIntMin); }},
      {"SetDCOffset(INT_MAX)", -2, [] { return SetDCOffset(kIntMax); }},
      {"SetPulseWidth(NaN)", -2, [] { return SetPulseWidth(kNaN); }},
      {"SetPulseWidth(2-)", -2, [] { return SetPulseWidth(std::nextafter(2.0, 0.0)); }},
      {"SetPulseWidth(300+)", -2, [] { return SetPulseWidth(std::nextafter(300.0, 301.0)); }},
      {"SetQRSDuration(-inf)", -2, [] { return SetQRSDuration(-kInf); }},
      {"SetQRSDuration(4.999)", -2, [] { return SetQRSDuration(4.999); }},
      {"SetQRSDuration(200.001)", -2, [] { return SetQRSDuration(200.001); }},
      {"SetTWave(NaN)", -2, [] { return SetTWave(kNaN); }},
      {"SetTWave(-0.001)", -2, [] { return SetTWave(-0.001); }},
      {"SetTWave(2.5+)", -2, [] { return SetTWave(std::nextafter(2.5, 3.0)); }},
      {"SetPacingAmplitude(NaN)", -2, [] { return SetPacingAmplitude(kNaN); }},
      {"SetPacingAmplitude(700.001)", -2, [] { return SetPacingAmplitude(700.001); }},
      {"SetPacingAmplitude(-inf)", -2, [] { return SetPacingAmplitude(-kInf); }},
      {"SetPacingDuration(0.0999)", -2, [] { return SetPacingDuration(0.0999); }},
      {"SetPacingDuration(inf)", -2, [] { return SetPacingDuration(kInf); }},
      {"SetPacingRate(9)", -2, [] { return SetPacingRate(9); }},
      {"SetPacingRate(301)", -2, [] { return SetPacingRate(301); }},
      {"SetPacingRate(INT_MIN)", -2, [] { return SetPacingRate(kIntMin); }},
      {"SetOvershootTimeConstant(-1)", -2, [] { return SetOvershootTimeConstant(-1); }},
      {"SetOvershootTimeConstant(101)", -2, [] { return SetOvershootTimeConstant(101); }},
      {"SetOvershootTimeConstant(INT_MAX)", -2, [] { return SetOvershootTimeConstant(kIntMax); }},
      {"SetOutputLead(-1)", -2, [] { return SetOutputLead(-1, true); }},
      {"SetOutputLead(32)", -2, [] { return SetOutputLead(32, true); }},
      {"SetOutputLead(INT_MIN)", -2, [] { return SetOutputLead(kIntMin, true); }},
      {"SetFreqScanSine(NaN start)", -2, [] { return SetFreqScanSine(true, kNaN, 100, 30); }},
      {"SetFreqScanSine(start 0.66)", -2, [] { return SetFreqScanSine(true, 0.66, 100, 30); }},
      {"SetFreqScanSine(inf stop)", -2, [] { return SetFreqScanSine(true, 1, kInf, 30); }},
      {"SetFreqScanSine(stop 500+)", -3,
       [] { return SetFreqScanSine(true, 1, std::nextafter(500.0, 501.0), 30); }},
      {"SetFreqScanSine(9 s)", -4, [] { return SetFreqScanSine(true, 1, 100, 9); }},
      {"SetFreqScanSine(181 s)", -4, [] { return SetFreqScanSine(true, 1, 100, 181); }},
      {"SetFreqScanSine(INT_MIN s)", -4, [] { return SetFreqScanSine(true, 1, 100, kIntMin); }},
      {"SetECG2_27_Noise(NaN)", -2, [] { return SetECG2_27_Noise(0, kNaN); }},
      {"SetECG2_27_Noise(off output 7)", -2, [] { return SetECG2_27_Noise(1, 0.1); }},
      {"SetDynamicRangeTest(inf)", -2, [] { return SetDynamicRangeTest(false, kInf, 40); }},
      {"SetDynamicRangeTest(off outputs 2, 3)", -2,
       [] { return SetDynamicRangeTest(true, 1, 40); }},
      {"SetBaselineResetTest(off output 1)", -2, [] {
         orna::LockGuard lock(orna::s_lock);
         // Output 2 for this one call only, then back to output 1.
         if (SetOutputFunc(OutputFuncTriangle) != 0) return 99;
         const int r = SetBaselineResetTest(1);
         if (SetOutputFunc(OutputFuncSine) != 0) return 98;
         return r;
       }},
  };
  const auto before = Settings();
  for (const Refused& r : refused) {
    const size_t commands = vi.commands().size();
    EXPECT_EQ(r.run(), r.expected) << r.call;
    EXPECT_EQ(Settings(), before) << r.call;
    if (std::string(r.call).find("BaselineReset") == std::string::npos) {
      vi.wait_quiet(5ms, 100ms);
      EXPECT_EQ(vi.commands().size(), commands) << r.call;
    }
  }

  // The bounds themselves are taken.
  EXPECT_EQ(SetAmplitude(-10.0), 0);
  EXPECT_EQ(SetAmplitude(10.0), 0);
  EXPECT_EQ(SetDCOffset(-300), 0);
  EXPECT_EQ(SetPacingDuration(0.1), 0);
  EXPECT_EQ(SetPacingRate(300), 0);
  EXPECT_EQ(SetOutputLead(31, true), 0);
  EXPECT_TRUE(GetOutputLead(31));
  EXPECT_EQ(SetFreqScanSine(false, 0.67, 500.0, 180), 0);
  // Any number is a pacing pulse mode and a getter lead number; neither traps.
  EXPECT_EQ(SetPacingPulseMode(kIntMin), 0);
  EXPECT_EQ(GetPacingPulseMode(), kIntMin);
  EXPECT_FALSE(GetOutputLead(kIntMax));
  EXPECT_EQ(CloseORNA(), -1);
}

TEST(BadInput, ExportedRangeValuesOfAnyKindKeepTheStreamEncodable) {
  orna::emu::VirtualInstrument vi;
  orna::test::ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  for (double range : {kNaN, kInf, -kInf, 0.0, -5.0, 1e300}) {
    {
      orna::LockGuard lock(orna::s_lock);
      g_RangeV4Ch2Off = range;
    }
    vi.clear();
    ASSERT_EQ(SetOutputFunc(OutputFuncSquare), 0);
    ASSERT_TRUE(vi.wait_for_packets(1, 1s)) << range;
    for (const auto& s : orna::emu::DecodePacket(vi.packets().front())) {
      ASSERT_LE(s.code, 4095) << range;
    }
    ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  }
  {
    orna::LockGuard lock(orna::s_lock);
    g_RangeV4Ch2Off = 5.0;
  }
  EXPECT_EQ(CloseORNA(), -1);
  // Without a port every call stays harmless.
  EXPECT_EQ(GetAD(), 0);
  EXPECT_EQ(CloseORNA(), -1);
  EXPECT_EQ(SetOutputFunc(kIntMax), -1);
  SpecifyCOMPort(nullptr);
  SpecifyCOMPort(std::string(100000, 'x').c_str());
  EXPECT_EQ(TriggerDeviceChanged(), 0);
}

TEST(BadInput, PathsAndFilesOfEveryOddKind) {
  const orna::test::ScratchDir scratch;
  ASSERT_FALSE(scratch.path().empty());
  const std::string& dir = scratch.path();
  auto write = [&](const std::string& name, const std::string& content) {
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return std::u16string(path.begin(), path.end());
  };
  auto load = [](const std::u16string& p) { return LoadECGtxt(p.c_str()); };

  ASSERT_EQ(load(write("good.txt", "250\n3\n1\n2\n3\n")), 3);
  // Refused paths change nothing.
  EXPECT_EQ(LoadECGtxt(nullptr), -1);
  EXPECT_EQ(LoadECGbin(nullptr), -1);
  const std::u16string tooLong(600, u'a');
  EXPECT_EQ(LoadECGtxt(tooLong.c_str()), -1);
  EXPECT_EQ(LoadECGbin(tooLong.c_str()), -1);
  EXPECT_EQ(LoadECGtxt(u""), -1);
  EXPECT_EQ(load(std::u16string(dir.begin(), dir.end())), -1);  // a directory: no file to read
  EXPECT_EQ(orna::ECGFileFreq, 250.0);
  EXPECT_EQ(orna::ECGFileSize, 3);

  // Empty, binary, huge and cut-short files.
  EXPECT_EQ(load(write("empty.txt", "")), -2);
  EXPECT_EQ(LoadECGbin(write("empty.bin", "").c_str()), -2);
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
  const int r = load(write("binary.txt", binary));
  EXPECT_TRUE(r == -2 || r == -3 || r == -4 || r >= 0) << r;
  std::string huge = "5000\n200000\n";
  for (int i = 0; i < 200000; ++i) huge += std::to_string((i % 20001) - 10000) + "\n";
  EXPECT_EQ(load(write("huge.txt", huge)), 200000);
  EXPECT_EQ(orna::ECGFile[0], -5000.0);      // -10000 clamped
  EXPECT_EQ(orna::ECGFile[15000], 5000.0);   // 5000 passes unchanged
  EXPECT_EQ(orna::ECGFile[10001], 1.0);
  EXPECT_EQ(load(write("oneline.txt", std::string(1 << 20, '7'))), -4);  // 127-digit pieces
  EXPECT_EQ(load(write("cut.txt", "100\n3\n5\n6")), 2);
  EXPECT_EQ(orna::ECGFile[1], 6.0);
  EXPECT_EQ(load(write("cutnum.txt", "100\n2\n-12.5e")), 1);
  EXPECT_EQ(orna::ECGFile[0], -12.5);
  EXPECT_EQ(load(write("infnan.txt", "inf\n")), -2);
  EXPECT_EQ(orna::ECGFileFreq, 0.0);
  EXPECT_EQ(load(write("samples.txt", "1e3\n4\nnan\ninf\n-inf\n1e999\n")), 4);
  EXPECT_EQ(orna::ECGFile[0], 0.0);
  EXPECT_EQ(orna::ECGFile[1], 5000.0);
  EXPECT_EQ(orna::ECGFile[2], -5000.0);
  EXPECT_EQ(orna::ECGFile[3], 5000.0);
}
