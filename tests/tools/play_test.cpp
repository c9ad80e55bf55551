// `orna play` end to end against its in-process virtual instrument: exit codes
// and the recording it writes.
#include <edflib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/wait.h"
#include "tools/setting_table.h"
#include "tools/tools.h"

namespace orna::cli {
namespace {

PlayOptions Quick(const char* function) {
  PlayOptions o;
  o.function = function;
  o.emulate = true;
  o.seconds = 1.2;
  return o;
}

std::string Temp(const char* name) { return testing::TempDir() + std::to_string(getpid()) + "_" + name; }

// Runs `orna play` and returns what it said on stderr.
std::string PlayMessage(const PlayOptions& o, int expected_exit) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunPlay(o), expected_exit);
  return testing::internal::GetCapturedStderr();
}

TEST(Play, FunctionsByNameOrNumber) {
  EXPECT_EQ(FunctionNumber("sine"), 1);
  EXPECT_EQ(FunctionNumber("cal-ecg"), 7);
  EXPECT_EQ(FunctionNumber("ecg"), 10);
  EXPECT_EQ(FunctionNumber("ecg-single"), 11);
  EXPECT_EQ(FunctionNumber("13"), 13);
  for (const char* bad : {"0", "14", "7x", "", "-1", "Sine"}) EXPECT_EQ(FunctionNumber(bad), -1) << bad;
}

TEST(Play, ExitCodesAndMessagesSayWhatWentWrong) {
  EXPECT_EQ(RunPlay(Quick("nosuch")), kExitUsage);
  auto o = Quick("sine");
  o.amplitude = 10.5;  // refused by the library
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: --amplitude refused: amplitude outside -10 to 10 mV\n");
  o = Quick("pulse");
  o.frequency = 4;  // fine for a sine, not for a pulse
  EXPECT_EQ(PlayMessage(o, kExitUsage),
            "orna: --frequency refused: frequency outside 0.05 to 500 Hz (0.05 to 3 Hz with outputs 4 "
            "and 5)\n");
  o = Quick("sine");
  o.noise = 1;  // mains noise needs the calibration ECG
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: --noise does nothing here: it is for cal-ecg only\n");
  o = Quick("sine");
  o.iec = 3;
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: --iec does nothing here: it is for iec227 and iec251 only\n");
  o = Quick("sine");
  o.pacing_rate = 100;
  EXPECT_NE(PlayMessage(o, kExitUsage).find("need --pacing-amplitude"), std::string::npos);
  o = Quick("file");
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: the 'file' function needs --file PATH (a text waveform)\n");
  o.file = "/nonexistent/wave.txt";
  EXPECT_NE(PlayMessage(o, kExitUsage).find("cannot open the file"), std::string::npos);
}

// A heart rate is the frequency per minute, for heartbeats only, and given
// one way at a time.
TEST(Play, HeartRateInBpm) {
  auto o = Quick("ecg");
  o.bpm = 72;
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunPlay(o), kExitOk);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("frequency:        1.2 Hz (72 bpm)\n"), std::string::npos);
  EXPECT_EQ(SettingsSummary(o), "ecg F=1.2 BPM=72");
  o.frequency = 1.2;
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: --frequency and --bpm both given: give one of them\n");
  o.frequency = NAN;
  o.bpm = 2.9;
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: --bpm refused: heart rate outside 3 to 30000 per minute\n");
  o = Quick("sine");
  o.bpm = 60;
  EXPECT_EQ(PlayMessage(o, kExitUsage),
            "orna: --bpm does nothing here: sine is not a heartbeat: give its --frequency in Hz\n");
  EXPECT_EQ(MisfitSetting(o, OutputFuncIEC227), "--bpm does nothing here: this waveform has its own rate");
}

// Which misfit is named when several are given: settings for some functions
// only, then those some functions do without, then the test modes.
TEST(Play, MisfitsNamedInOrder) {
  PlayOptions o;
  o.frequency = 2;
  o.noise = 1;
  o.file = "w.txt";
  EXPECT_EQ(MisfitSetting(o, OutputFuncIEC227), "--file does nothing here: it is for the 'file' function only");
  o.file.clear();
  EXPECT_EQ(MisfitSetting(o, OutputFuncIEC227), "--frequency does nothing here: this waveform has its own rate");
  o.frequency = NAN;
  o.freq_scan_ecg = true;
  o.dynamic_range_amplitude = 1;
  EXPECT_EQ(MisfitSetting(o, OutputFuncCalECG),
            "--dynamic-range does nothing here: it is for triangle and square only");
  EXPECT_EQ(MisfitSetting(o, OutputFuncSquare), "--noise does nothing here: it is for cal-ecg only");
}

TEST(Play, OutputsAreCheckedBeforeTheRun) {
  // The plot cannot be written: the run does not start, so the recording
  // that could have been written is not there either.
  auto o = Quick("sine");
  o.records = {Temp("early.csv")};
  o.plot = "/nonexistent/dir/out.png";
  EXPECT_EQ(PlayMessage(o, kExitIo), "orna: cannot write /nonexistent/dir/out.png: cannot create files in /nonexistent/dir: No such file or directory\n");
  EXPECT_NE(access(o.records[0].c_str(), F_OK), 0);
}

TEST(Play, PortThatCannotBeOpenedGivesTheSystemsReason) {
  auto o = Quick("sine");
  o.emulate = false;
  o.port = "/nonexistent/ttyACM9";
  EXPECT_EQ(PlayMessage(o, kExitNoInstrument), "orna: /nonexistent/ttyACM9: No such file or directory\n");
  // Not a terminal: no instrument can be behind it.
  o.port = "/dev/null";
  EXPECT_EQ(PlayMessage(o, kExitNoInstrument), "orna: /dev/null: Inappropriate ioctl for device\n");
  // A terminal where nothing answers.
  emu::Config silent;
  silent.identify = emu::IdentifyMode::Silent;
  emu::VirtualInstrument quiet(silent);
  o.port = quiet.path();
  EXPECT_EQ(PlayMessage(o, kExitNoInstrument), "orna: " + quiet.path() + ": no instrument answered\n");
}

TEST(Play, RecordsWhatTheInstrumentPlayedAsEdf) {
  auto o = Quick("sine");
  o.amplitude = 2;
  o.frequency = 10;
  o.pacing_amplitude = 4;
  o.pacing_width = 1;
  o.pacing_rate = 120;
  o.records = {Temp("play.edf")};
  ASSERT_EQ(RunPlay(o), kExitOk);

  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(o.records[0].c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  EXPECT_STREQ(hdr.equipment, "ORNA SN0042");
  EXPECT_EQ(std::string(hdr.recording_additional).rfind(std::string("liborna ") + GetSDKVersion(), 0), 0u) << hdr.recording_additional;
  EXPECT_EQ(std::string(hdr.patient_additional).rfind("sine A=2 F=10 PA=4 PD=1 PR=120 ", 0), 0u)
      << hdr.patient_additional;
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
  std::remove(o.records[0].c_str());

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
    int high, pulse;
    while (std::fscanf(f, "%lf,%lf,%d,%d", &t, &v, &high, &pulse) == 4)
      points.push_back({t, v, high == 1, pulse == 1 ? 1.0 : 0.0});
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
    if (fn != 8 && fn != 9 && fn != 12 && fn != 13) o.frequency = fn == 4 || fn == 5 ? 2.0 : 5.0;
    o.pacing_amplitude = 4;
    o.pacing_rate = 120;
    if (fn == 13) o.file = wave;
    o.records = {Temp("fn.csv")};
    ASSERT_EQ(RunPlay(o), kExitOk) << "function " << fn;
    auto points = ReadCsv(o.records[0]);
    std::remove(o.records[0].c_str());
    // 1.5 s from the first sample played, every sample.
    ASSERT_EQ(points.size(), 7500u) << "function " << fn;
    EXPECT_EQ(points[0].t, 0.0);
    double lo = 1e9, hi = -1e9;
    int pulses = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      pulses += points[i].pulse_s > 0;
      if (points[i].high_range) continue;
      lo = std::min(lo, points[i].mV);
      hi = std::max(hi, points[i].mV);
    }
    EXPECT_EQ(pulses, 3) << "function " << fn;  // at 120 per minute
    EXPECT_GT(hi - lo, 0.2) << "function " << fn << ": the signal moves";
  }
  std::remove(wave.c_str());
}

TEST(Play, EveryPacingPulseIsAnnotatedOnceAtEveryAmplitude) {
  // 2 mV pulses ride on the waveform (no high range); 80 per minute for 15 s
  // is 20 pulses in 15 one-second data records. The EDF+ file is read back
  // with the EDF library's reader and compared with the samples played (CSV
  // from the same run): each annotation sits on a 2 mV step up, 2 ms long.
  auto o = Quick("sine");
  o.amplitude = 0.5;
  o.frequency = 0.5;
  o.seconds = 15;
  o.pacing_amplitude = 2;
  o.pacing_rate = 80;
  o.records = {Temp("paced.edf"), Temp("paced.csv")};
  ASSERT_EQ(RunPlay(o), kExitOk);
  auto points = ReadCsv(o.records[1]);
  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(o.records[0].c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  std::vector<edf_annotation_struct> notes(hdr.annotations_in_file);
  for (std::size_t i = 0; i < notes.size(); ++i) edf_get_annotation(hdr.handle, static_cast<int>(i), &notes[i]);
  edfclose_file(hdr.handle);
  for (const auto& path : o.records) std::remove(path.c_str());

  ASSERT_EQ(points.size(), 75000u);
  std::vector<std::size_t> steps;  // pulses played: a rise of about 2 mV
  for (std::size_t k = 1; k < points.size(); ++k)
    if (points[k].mV - points[k - 1].mV > 1.5) steps.push_back(k);
  ASSERT_EQ(steps.size(), 20u);
  ASSERT_EQ(notes.size(), 20u);
  for (std::size_t i = 0; i < notes.size(); ++i) {
    EXPECT_STREQ(notes[i].annotation, "Pacing pulse");
    EXPECT_EQ(notes[i].onset, static_cast<long long>(steps[i]) * 2000) << i;  // 100 ns units
    EXPECT_EQ(notes[i].duration_l, 20000) << i;                             // 2 ms
    EXPECT_NEAR(points[steps[i] + 10].mV - points[steps[i] + 9].mV, -2.0, 0.1) << i;
    EXPECT_GT(points[steps[i]].pulse_s, 0) << i;
  }

  // Two pulses per event, 150 ms apart, on the high range: one mark each.
  o = Quick("sine");
  o.seconds = 2;
  o.pacing_amplitude = 5;
  o.pacing_rate = 120;
  o.pacing_mode = 1;
  o.records = {Temp("double.csv")};
  ASSERT_EQ(RunPlay(o), kExitOk);
  points = ReadCsv(o.records[0]);
  std::remove(o.records[0].c_str());
  std::vector<std::size_t> marks, runs;
  for (std::size_t k = 0; k < points.size(); ++k) {
    if (points[k].pulse_s > 0) marks.push_back(k);
    if (points[k].high_range && (k == 0 || !points[k - 1].high_range)) runs.push_back(k);
  }
  EXPECT_EQ(marks.size(), 8u);
  EXPECT_EQ(marks, runs);
}

TEST(Play, StreamThatFellBehindIsReportedAndNotBridged) {
  // No host keeps up with a clock 1000 times real time: underruns, a warning
  // and its own exit code. The default clock waits for the host and has none.
  auto o = Quick("sine");
  o.speed = 1000;
  o.seconds = 2;
  o.records = {Temp("behind.csv")};
  std::string said = PlayMessage(o, kExitStream);
  EXPECT_NE(said.find("orna: warning: the stream was not clean ("), std::string::npos) << said;
  std::remove(o.records[0].c_str());
  o.speed = 0;
  EXPECT_EQ(PlayMessage(o, kExitOk), "");
  std::remove(o.records[0].c_str());
}

TEST(Play, OnRealHardwareEachPulseIsMarkedOnce) {
  // Through a port, as with the real instrument: the recording is what the
  // graph callback saw (every 30th sample, 6 ms apart), and the pacing
  // callback's four corner points make one mark, not two.
  emu::VirtualInstrument vi;
  vi.start_playback(1.0);
  auto o = Quick("sine");
  o.emulate = false;
  o.port = vi.path();
  o.pacing_amplitude = 5;
  o.pacing_rate = 120;
  o.records = {Temp("hardware.csv")};
  ASSERT_EQ(RunPlay(o), kExitOk);
  auto points = ReadCsv(o.records[0]);
  std::remove(o.records[0].c_str());
  ASSERT_EQ(points.size(), 200u);  // 1.2 s
  EXPECT_NEAR(points[199].t, 1.194, 1e-9);
  std::vector<double> marks;
  for (const auto& p : points)
    if (p.pulse_s > 0) marks.push_back(p.t);
  ASSERT_EQ(marks.size(), 2u);
  // Pulses at 0.48 s and 0.98 s, marked at the next graph point.
  EXPECT_NEAR(marks[0], 0.48, 0.0061);
  EXPECT_NEAR(marks[1], 0.98, 0.0061);
}

}  // namespace
}  // namespace orna::cli

namespace orna::cli {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The program itself, its standard output and error going to files.
struct Child {
  pid_t pid = -1;
  std::string out = Temp("child.out"), err = Temp("child.err");
  explicit Child(std::vector<std::string> args) {
    args.insert(args.begin(), ORNA_CLI);
    pid = fork();
    if (pid == 0) {
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  // Bytes the child has written (to files and the instrument's line).
  long long Written() const {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long long v = 0;
    while (io >> key >> v)
      if (key == "wchar:") return v;
    return 0;
  }
  int ExitCode() {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }
  ~Child() {
    std::remove(out.c_str());
    std::remove(err.c_str());
  }
};

TEST(PlayProgram, SignalEndsTheRunAndWhatWasRecordedIsWritten) {
  for (const auto& [signal, code] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    const std::string csv = Temp("interrupted.csv");
    Child child({"play", "sine", "--emulate", "--speed", "1", "--record", csv, "--seconds", "30"});
    // The recording is written as it plays: it has played a little.
    ASSERT_TRUE(orna::test::WaitUntil(
        [&] {
          const std::string so_far = Slurp(csv);
          return std::count(so_far.begin(), so_far.end(), '\n') > 1100;
        },
        std::chrono::seconds(20)));
    kill(child.pid, signal);
    ASSERT_EQ(child.ExitCode(), code);
    const std::string data = Slurp(csv), summary = Slurp(child.out);
    std::remove(csv.c_str());
    const auto rows = std::count(data.begin(), data.end(), '\n') - 1;
    EXPECT_GT(rows, 1000);
    EXPECT_LT(rows, 30 * 5000);
    EXPECT_NE(summary.find("samples:          " + std::to_string(rows) + "\n"), std::string::npos) << summary;
    EXPECT_NE(Slurp(child.err).find(signal == SIGINT ? "orna: interrupted after " : "orna: terminated after "),
              std::string::npos);
  }
}

TEST(PlayProgram, RefusesWhatItCannotHonour) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"play", "sine", "--emulate", "--seconds", "nan"}, "--seconds: must be a finite number, not nan"},
      {{"play", "sine", "--emulate", "--seconds", "1e30"},
       "--seconds: must be more than 0 and at most 3600, not 1e30"},
      {{"play", "sine", "--emulate", "--amplitude", "inf"}, "--amplitude: must be a finite number, not inf"},
      {{"play", "ecg", "--emulate", "--bpm", "nan"}, "--bpm: must be a finite number, not nan"},
      {{"play", "sine", "--emulate", "--speed", "1e309"}, "--speed: must be a finite number, not 1e309"},
      {{"emulate", "--fd", "-1"}, "--fd: must be 0 to 2147483647, not -1"},
      {{"play", "sine", "--port", ""}, "--port: must not be empty"},
      {{"play", "sine", "--emulate", "--port", "/dev/ttyACM0"}, "--emulate excludes --port"},
      {{"play", "sine", "--impedance", "--no-impedance"}, "--impedance excludes --no-impedance"},
      {{"play", "sine", "--emulate", "--plot", "x.jpg"}, "orna: --plot writes PNG: give a file name ending in .png"},
  };
  for (const auto& [args, said] : cases) {
    Child child(args);
    EXPECT_EQ(child.ExitCode(), kExitUsage) << said;
    EXPECT_EQ(Slurp(child.err).rfind(said, 0), 0u) << Slurp(child.err);
  }
  Child help({"play", "--help"});
  EXPECT_EQ(help.ExitCode(), kExitOk);
  EXPECT_NE(Slurp(help.out).find("130 interrupted"), std::string::npos);
}

TEST(Emulate, UnwritableRecordingIsRefusedAtTheStart) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunEmulate(1.0, 30, -1, "/nonexistent/x.csv"), kExitIo);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no terminal was offered
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "orna: cannot write /nonexistent/x.csv: cannot create files in /nonexistent: No such file or directory\n");
}

TEST(Play, WaveformFilesWithNamesInAnyScript) {
  const std::string wave = Temp("wave_\u00e9\u20ac\U0001F600.txt");
  {
    std::ofstream f(wave);
    f << "5000\n1000\n";
    for (int k = 0; k < 1000; ++k) f << (k < 500 ? 800 : -200) << "\n";
  }
  auto o = Quick("file");
  o.file = wave;
  EXPECT_EQ(RunPlay(o), kExitOk);
  std::remove(wave.c_str());
  o.file = Temp("bad\xff.txt");
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: --file " + Temp("bad\uFFFD.txt") +
                                            ": the file name is not valid UTF-8 (or holds a NUL)\n");
}

TEST(Play, DcVariableModeIsPlayedAtItsAmplitude) {
  // +-0.5 mV for a 1 mV sine: the virtual instrument reports a current
  // firmware, and the library then scales variable mode as it decodes it.
  auto o = Quick("sine");
  o.dc_variable = true;
  o.records = {Temp("variable.csv")};
  ASSERT_EQ(RunPlay(o), kExitOk);
  auto points = ReadCsv(o.records[0]);
  std::remove(o.records[0].c_str());
  ASSERT_EQ(points.size(), 6000u);
  auto [lo, hi] = std::minmax_element(points.begin(), points.end(),
                                      [](const Point& a, const Point& b) { return a.mV < b.mV; });
  EXPECT_NEAR(hi->mV, 0.5, 0.003);
  EXPECT_NEAR(lo->mV, -0.5, 0.003);
}

TEST(Play, SettingTableDefaultsAreTheLibrarys) {
  emu::VirtualInstrument vi;
  ASSERT_EQ(OrnaOpenPort(vi.path().c_str()), 1);
  const std::map<std::string, double> library = {
      {"function", GetOutputFunc()},         {"amplitude", GetAmplitude()},
      {"frequency", GetFrequency()},         {"pulse_width", GetPulseWidth()},
      {"bpm", GetFrequency() * 60},
      {"qrs", GetQRSDuration()},             {"t_wave", GetTWave()},
      {"iec", GetSpecialWave227()},          {"iec227", GetSpecialWave227()},
      {"iec251", GetSpecialWave251()},       {"pacing_width", GetPacingDuration()},
      {"pacing_rate", GetPacingRate()},      {"pacing_mode", GetPacingPulseMode()},
      {"overshoot", GetOvershootTimeConstant()}, {"pacing_amplitude", GetPacingAmplitude()},
      {"dc_variable", GetDCOffsetVariableMode()}, {"dc_offset", GetDCOffset()},
      {"impedance", GetInputImpedanceMode()},    {"common_mode", GetDCOffsetCommoneMode()},
      {"noise", GetECG2_27_NoiseFreq()},     {"noise_amplitude", GetECG2_27_NoiseAmp()},
      {"drift", GetECG2_27_AAMIDriftTest()}, {"freq_scan_ecg", GetFreqScanECG()},
      {"dynamic_range_frequency", GetDynamicRangeTestFreq()}, {"baseline_reset", GetBaselineResetTest()},
      // Off at load: no value of their own.
      {"dynamic_range", GetDynamicRangeTest() ? 1 : NAN}, {"freq_scan_sine", GetFreqScanSine() ? 1 : NAN},
      {"file", NAN}};
  for (const auto& s : SettingTable()) {
    if (s.kind == SettingKind::Leads) {
      for (int lead = 0; lead <= 8; ++lead) EXPECT_EQ(GetOutputLead(lead), lead == s.page_default) << lead;
      continue;
    }
    const auto it = library.find(s.key);
    ASSERT_NE(it, library.end()) << s.key;
    if (std::isnan(it->second)) EXPECT_TRUE(std::isnan(s.page_default)) << s.key;
    else EXPECT_EQ(s.page_default, it->second) << s.key;
  }
  // The overlay frequency not given is the library's too.
  ASSERT_EQ(SetOutputFunc(OutputFuncTriangle), 0);
  PlayOptions o;
  o.dynamic_range_amplitude = 1;
  ASSERT_EQ(FindSetting("dynamic_range")->apply(o), 0);
  EXPECT_EQ(GetDynamicRangeTestFreq(), FindSetting("dynamic_range_frequency")->page_default);
  CloseORNA();

  // The input impedance mode, on by default, can be switched off: relay bit 1.
  vi.start_playback(1.0);
  auto off = Quick("sine");
  off.emulate = false;
  off.port = vi.path();
  off.seconds = 0.2;
  off.no_impedance = true;
  ASSERT_EQ(RunPlay(off), kExitOk);
  bool switched_off = false;
  for (const auto& m : vi.commands())
    if (m.kind == emu::Kind::Relay) switched_off |= (m.bytes[3] & 0x02) != 0;
  EXPECT_TRUE(switched_off);
}

}  // namespace
}  // namespace orna::cli
