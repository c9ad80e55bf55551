// `orna play` end to end against its in-process virtual instrument: exit codes
// and the recording it writes.
#include <edflib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tools/tools.h"

namespace orna::cli {
namespace {

PlayOptions Quick(const char* function) {
  PlayOptions o;
  o.function = function;
  o.emulate = true;
  o.seconds = 1.2;
  o.speed = 20;
  return o;
}

TEST(Play, FunctionsByNameOrNumber) {
  EXPECT_EQ(FunctionNumber("sine"), 1);
  EXPECT_EQ(FunctionNumber("cal-ecg"), 7);
  EXPECT_EQ(FunctionNumber("ecg"), 10);
  EXPECT_EQ(FunctionNumber("ecg-single"), 11);
  EXPECT_EQ(FunctionNumber("13"), 13);
  for (const char* bad : {"0", "14", "7x", "", "-1", "Sine"}) EXPECT_EQ(FunctionNumber(bad), -1) << bad;
}

TEST(Play, ExitCodesSayWhatWentWrong) {
  EXPECT_EQ(RunPlay(Quick("nosuch")), kExitUsage);
  auto o = Quick("sine");
  o.amplitude = 10.5;  // refused by the library
  EXPECT_EQ(RunPlay(o), kExitUsage);
  o = Quick("sine");
  o.noise = 1;  // mains noise needs the calibration ECG
  EXPECT_EQ(RunPlay(o), kExitUsage);
  o = Quick("file");
  o.file = "/nonexistent/wave.txt";
  EXPECT_EQ(RunPlay(o), kExitUsage);
  o = Quick("sine");
  o.record = "/nonexistent/dir/out.csv";
  EXPECT_EQ(RunPlay(o), kExitIo);
}

TEST(Play, NoInstrumentOnThePort) {
  auto o = Quick("sine");
  o.emulate = false;
  o.port = "/nonexistent/ttyACM9";
  EXPECT_EQ(RunPlay(o), kExitNoInstrument);
}

TEST(Play, RecordsWhatTheInstrumentPlayedAsEdf) {
  auto o = Quick("sine");
  o.amplitude = 2;
  o.frequency = 10;
  o.pacing_amplitude = 4;
  o.pacing_width = 1;
  o.pacing_rate = 120;
  o.record = testing::TempDir() + std::to_string(getpid()) + "_play.edf";
  ASSERT_EQ(RunPlay(o), kExitOk);

  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(o.record.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  EXPECT_EQ(hdr.signalparam[0].smp_in_datarecord, 5000);
  std::vector<double> v(hdr.signalparam[0].smp_in_file);
  ASSERT_GE(v.size(), 6000u);
  ASSERT_EQ(edfread_physical_samples(hdr.handle, 0, static_cast<int>(v.size()), v.data()),
            static_cast<int>(v.size()));
  std::vector<long long> onsets;
  for (long long i = 0; i < hdr.annotations_in_file; ++i) {
    edf_annotation_struct a{};
    edf_get_annotation(hdr.handle, static_cast<int>(i), &a);
    onsets.push_back(a.onset);
  }
  edfclose_file(hdr.handle);
  std::remove(o.record.c_str());

  // Two pulses a second (at 120 per minute), 0.5 s apart.
  ASSERT_EQ(onsets.size(), 2u);
  EXPECT_EQ(onsets[1] - onsets[0], 5000000);
  // Away from the pulses the 10 Hz sine repeats every 500 samples, +-1 mV.
  double step = 8.0 / 65535, hi = -1e9, lo = 1e9;
  auto near_pulse = [&](std::size_t k) {
    for (long long on : onsets)
      if (std::fabs(k * 0.0002 - on * 1e-7) < 0.004) return true;
    return false;
  };
  for (std::size_t k = 0; k + 500 < 5900; ++k) {  // the last record is padding
    if (near_pulse(k) || near_pulse(k + 500)) continue;
    // Within one converter code (10 mV over 4096 codes) and the file's own step.
    ASSERT_NEAR(v[k], v[k + 500], 10.0 / 4096 + 2 * step) << k;
    hi = std::max(hi, v[k]);
    lo = std::min(lo, v[k]);
  }
  EXPECT_NEAR(hi, 1.0, 0.005);
  EXPECT_NEAR(lo, -1.0, 0.005);
  EXPECT_NEAR(*std::max_element(v.begin(), v.end()), 4.0, step);
}

}  // namespace
}  // namespace orna::cli

namespace orna::cli {
namespace {

std::vector<Point> ReadCsv(const std::string& path) {
  std::vector<Point> points;
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return points;
  char header[64];
  if (std::fgets(header, sizeof header, f)) {
    double t, v;
    int high;
    while (std::fscanf(f, "%lf,%lf,%d", &t, &v, &high) == 3) points.push_back({t, v, high == 1});
  }
  std::fclose(f);
  return points;
}

TEST(Play, EveryFunctionStreamsWithPacing) {
  std::string wave = testing::TempDir() + std::to_string(getpid()) + "_wave.txt";
  {
    FILE* f = std::fopen(wave.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "5000\n1000\n");
    for (int k = 0; k < 1000; ++k) std::fprintf(f, "%d\n", k < 500 ? 800 : -200);  // uV
    std::fclose(f);
  }
  for (int fn = 1; fn <= 13; ++fn) {
    auto o = Quick(std::to_string(fn).c_str());
    o.seconds = 1.5;
    o.speed = 30;
    o.frequency = fn == 4 || fn == 5 ? 2.0 : 5.0;
    o.pacing_amplitude = 4;
    o.pacing_rate = 120;
    o.file = wave;
    o.record = testing::TempDir() + std::to_string(getpid()) + "_fn.csv";
    ASSERT_EQ(RunPlay(o), kExitOk) << "function " << fn;
    auto points = ReadCsv(o.record);
    std::remove(o.record.c_str());
    ASSERT_GT(points.size(), 7000u) << "function " << fn;
    double lo = 1e9, hi = -1e9;
    int pulses = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (points[i].high_range) {
        pulses += i == 0 || !points[i - 1].high_range;
        continue;
      }
      lo = std::min(lo, points[i].mV);
      hi = std::max(hi, points[i].mV);
    }
    EXPECT_GE(pulses, 2) << "function " << fn;
    EXPECT_GT(hi - lo, 0.2) << "function " << fn << ": the signal moves";
  }
  std::remove(wave.c_str());
}

}  // namespace
}  // namespace orna::cli
