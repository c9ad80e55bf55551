// `orna run` end to end against its in-process virtual instrument: every
// shipped sequence with its answers file, the measurements against the
// settings, exit codes, resume, and the reports read back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "run/run.h"
#include "support/files.h"
#include "text.h"

namespace orna::cli::run {
namespace {

using nlohmann::json;

const std::string kSequences = std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/")) + "/sequences/";

std::string Temp(const std::string& name) { return testing::TempDir() + std::to_string(getpid()) + "_" + name; }

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

RunOptions Emulated(const std::string& file, const std::string& answers) {
  RunOptions o;
  o.file = file;
  o.emulate = true;
  o.answers = answers;
  o.json = Temp("report.json");
  o.operator_name = "CI";
  return o;
}

// Writes `toml` as a sequence, runs it against the virtual instrument, and
// returns the steps of its report (none when the run did not pass).
json PassingSteps(const std::string& name, const std::string& toml) {
  const std::string seq = Temp(name);
  Write(seq, toml);
  RunOptions o = Emulated(seq, "");
  const int code = RunSequence(o);
  EXPECT_EQ(code, 0);
  return code == 0 ? json::parse(Read(o.json))["steps"] : json::array();
}

class Shipped : public testing::TestWithParam<const char*> {};

TEST_P(Shipped, RunsEndToEndAndPasses) {
  const std::string base = kSequences + GetParam();
  RunOptions o = Emulated(base + ".toml", base + ".answers");
  ASSERT_EQ(RunSequence(o), 0);
  json j = json::parse(Read(o.json));
  EXPECT_TRUE(j["completed"].get<bool>());
  EXPECT_TRUE(j["instrument"]["virtual"].get<bool>());
  EXPECT_EQ(j["instrument"]["serial"], "SN0042");
  EXPECT_EQ(j["steps"].size(), j["steps_total"].get<std::size_t>());
  EXPECT_EQ(j["summary"]["fail"], 0);
  int asked = 0;
  for (const auto& s : j["steps"]) {
    asked += s.contains("prompt");
    EXPECT_EQ(s["link"]["underruns"], 0) << s["name"];
    EXPECT_EQ(s["link"]["sequence_errors"], 0) << s["name"];
    EXPECT_FALSE(s["link"]["lost"].get<bool>()) << s["name"];
    EXPECT_GE(s["link"]["played_s"].get<double>(), s["duration"].get<double>() - 0.01) << s["name"];
    EXPECT_TRUE(s.contains("measured")) << s["name"];
  }
  // Instructions are not counted.
  const json& n = j["summary"];
  EXPECT_EQ(n["pass"].get<int>() + n["disclosed"].get<int>() + n["skipped"].get<int>(), asked);
}

INSTANTIATE_TEST_SUITE_P(Sequences, Shipped,
                         testing::Values("heart-rate-accuracy", "tall-t-wave", "pacemaker-rejection", "iec-waveforms",
                                         "rate-change", "baseline-reset", "frequency-response"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST(Run, MeasuresWhatWasPlayed) {
  // Rates across the range, a tall T wave, and pacing pulses over an ECG and over none.
  json steps = PassingSteps("m.toml", R"(title = "m"
[[step]]
name = "{bpm}"
repeat = [ { bpm = 30, hz = 0.5 }, { bpm = 75, hz = 1.25 }, { bpm = 250, hz = 4.166667 } ]
function = "ecg"
settings = { amplitude = 2.0, frequency = "{hz}" }
duration = 12
[[step]]
name = "tall T"
function = "cal-ecg"
settings = { bpm = 90, t_wave = 2.5 }
duration = 8
[[step]]
name = "paced {pa}"
repeat = { pa = [700, -2] }
function = "ecg"
settings = { frequency = 1.0, pacing_amplitude = "{pa}", pacing_rate = 120 }
duration = 10
)");
  ASSERT_EQ(steps.size(), 6u);
  const double bpm[] = {30, 75, 250, 90};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(steps[i]["measured"]["bpm"].get<double>(), bpm[i], bpm[i] * 0.005) << i;
  EXPECT_NEAR(steps[0]["measured"]["peak_to_peak_mV"].get<double>(), 2.0, 0.02);  // synthetic ECG: amplitude is p-p
  EXPECT_EQ(steps[0]["measured"]["pacing_pulses"], 0);
  // Pacing at 120 a minute: 20 pulses in 10 s, fewer by those in the packets
  // left out as the step before's (built before the change).
  for (int i : {4, 5}) {
    EXPECT_GE(steps[i]["measured"]["pacing_pulses"], 18) << i;
    EXPECT_LE(steps[i]["measured"]["pacing_pulses"], 20) << i;
    EXPECT_NEAR(steps[i]["measured"]["bpm"].get<double>(), 60, 0.5) << i;
  }
  EXPECT_EQ(steps[5]["settings"]["pacing_amplitude"], -2);
  // None of the 700 mV pulses of the step before is measured as this one's.
  EXPECT_LT(steps[5]["measured"]["peak_to_peak_mV"].get<double>(), 5);
  // A heart rate given shows the frequency it plays, and a heartbeat's frequency its heart rate.
  EXPECT_EQ(steps[3]["settings"], (json{{"bpm", 90}, {"t_wave", 2.5}, {"frequency", 1.5}}));
  EXPECT_EQ(steps[1]["settings"]["bpm"], 75);
}

TEST(Run, PlaysRhythmsAndRecordsTheirBeats) {
  const std::string seq = Temp("rhythms.toml"), csv = Temp("rhythms.csv");
  Write(seq, R"(title = "r"
[[step]]
name = "pvc"
rhythm = "pvc"
settings = { every = 3, bpm = 75, amplitude = 1.5, seed = 7 }
duration = 8
[[step]]
name = "sinus"
rhythm = "sinus"
settings = { bpm = 60 }
duration = 6
)");
  RunOptions o = Emulated(seq, "");
  o.record = csv;
  ASSERT_EQ(RunSequence(o), 0);
  const json steps = json::parse(Read(o.json))["steps"];
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0]["rhythm"], "pvc");
  EXPECT_EQ(steps[0]["settings"], (json{{"every", 3}, {"bpm", 75}, {"amplitude", 1.5}, {"seed", 7}}));
  EXPECT_NEAR(steps[0]["measured"]["bpm"].get<double>(), 75, 0.75);
  EXPECT_EQ(steps[1]["rhythm"], "sinus");
  EXPECT_NEAR(steps[1]["measured"]["bpm"].get<double>(), 60, 0.6);
  // Each step's beats, from its own start: the recording restarts the loop's annotations.
  std::string codes, line;
  std::ifstream in(csv);
  while (std::getline(in, line))
    if (line.back() != ',' && line.find("time_s") != 0) codes += line.substr(line.rfind(',') + 1) + " ";
  std::remove(csv.c_str());
  EXPECT_EQ(codes, "(N N N V N N V N N V N (N N N N N N N ");

  // Refused before anything plays, naming the line.
  const std::string bad = Temp("bad_rhythm.toml");
  Write(bad, "title = \"b\"\n[[step]]\nname = \"a\"\nrhythm = \"pvc\"\nsettings = { conduction = 2 }\n"
             "[[step]]\nname = \"b\"\nrhythm = \"wobble\"\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunSequence(Emulated(bad, "")), kExitUsage);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            bad + ":5: conduction does nothing for rhythm pvc: it takes amplitude, bpm, seed, every\n" + bad +
                ":8: unknown rhythm 'wobble' (see orna rhythms)\n"
                "orna: 2 errors in " + bad + "; nothing was played\n");
}

TEST(Run, AStepChangingPartOfATestModeKeepsTheRestOn) {
  // The second step names only the noise amplitude: the noise the first
  // step turned on must stay on, now twice as strong.
  json steps = PassingSteps("noise.toml", R"(title = "noise"
[[step]]
name = "noise 0.1"
function = "cal-ecg"
settings = { amplitude = 1.0, frequency = 1.3, noise = 1, noise_amplitude = 0.1 }
duration = 3
[[step]]
name = "noise 0.2"
settings = { noise_amplitude = 0.2 }
duration = 3
)");
  ASSERT_EQ(steps.size(), 2u);
  const double first = steps[0]["measured"]["peak_to_peak_mV"].get<double>();
  const double second = steps[1]["measured"]["peak_to_peak_mV"].get<double>();
  // At 1.3 beats a second the noise's crests meet the beat's peaks; without
  // noise the peak to peak is 1.00 mV, 1.08 with 0.1 mV of it, 1.16 with 0.2.
  EXPECT_GT(second - first, 0.04) << first << " then " << second;
}

TEST(Run, ExitCodesResumeAndReports) {
  const std::string base = kSequences + "rate-change";
  // A reading out of bounds fails the run.
  const std::string wrong = Temp("wrong.answers");
  Write(wrong, "80\n12.5\n80\nskip\n");
  RunOptions o = Emulated(base + ".toml", wrong);
  o.report = Temp("report.html");
  EXPECT_EQ(RunSequence(o), kExitFailed);
  json j = json::parse(Read(o.json));
  EXPECT_EQ(j["steps"][1]["verdict"], "fail");
  EXPECT_EQ(j["steps"][1]["value"], 12.5);
  EXPECT_EQ(j["steps"][3]["verdict"], "skipped");
  EXPECT_EQ(j["summary"], (json{{"pass", 2}, {"fail", 1}, {"disclosed", 0}, {"skipped", 1}}));
  EXPECT_EQ(j["checksum"], "sha256:" + Sha256Hex(Read(base + ".toml")));
  const std::string html = Read(o.report);
  EXPECT_NE(html.find("<td class=\"fail\">fail</td>"), std::string::npos);
  EXPECT_NE(html.find("src=\"data:image/png;base64,iVBORw0KGgo"), std::string::npos);

  // Answers that run out stop the run; --resume carries on from the next step.
  const std::string part = Temp("part.answers"), rest = Temp("rest.answers");
  Write(part, "# two readings only\n81\n\n7\n");
  Write(rest, "79\n9.5\n");
  o = Emulated(base + ".toml", part);
  EXPECT_EQ(RunSequence(o), kExitIncomplete);
  j = json::parse(Read(o.json));
  EXPECT_FALSE(j["completed"].get<bool>());
  ASSERT_EQ(j["steps"].size(), 2u);
  RunOptions r = Emulated(base + ".toml", rest);
  r.resume = o.json;
  r.json = "";  // written back to the file resumed
  r.report = Temp("resumed.html");
  EXPECT_EQ(RunSequence(r), 0);
  j = json::parse(Read(o.json));
  EXPECT_TRUE(j["completed"].get<bool>());
  ASSERT_EQ(j["steps"].size(), 4u);
  // The steps played before the run stopped keep their strips.
  const std::string resumed = Read(r.report);
  std::size_t strips = 0;
  for (std::size_t at = 0; (at = resumed.find("<img ", at)) != std::string::npos; ++at) ++strips;
  EXPECT_EQ(strips, 4u);
  EXPECT_EQ(j["steps"][0]["answer"], "81");
  EXPECT_EQ(j["steps"][3]["answer"], "9.5");
  EXPECT_EQ(j["operator"], "CI");

  // A report of another sequence is not resumed; errors in the file stop the run before it starts.
  r = Emulated(kSequences + "tall-t-wave.toml", rest);
  r.resume = o.json;
  EXPECT_EQ(RunSequence(r), kExitUsage);
  const std::string bad = Temp("bad.toml");
  Write(bad, "title = \"b\"\n[[step]]\nname = \"x\"\nfunction = \"sine\"\nsettings = { amplitude = 11 }\n");
  EXPECT_EQ(RunSequence(Emulated(bad, "")), kExitUsage);
}

TEST(Run, TextThatIsNotUtf8IsReplacedInReportsAndEscapedOnTheTerminal) {
  // Latin-1 in the file's name, the operator's and the instrument's serial number;
  // a NUL and a stray byte in an answer; escape sequences in a step's name.
  test::ScratchDir dir;
  emu::Config config;
  config.identify_reply = {'S', 'N', 0xFF, '4', '2', 0};
  emu::VirtualInstrument vi(config);
  RunOptions o;
  o.file = dir.Write("s\xE9q.toml", "title = \"t\"\n[[step]]\nname = \"\\u001b]0;owned\\u0007\"\n"
                                    "function = \"sine\"\nduration = 0\nprompt = \"p\"\n");
  o.port = vi.path();
  o.answers = dir.Write("a", std::string("1\0\xFF\n", 4));
  o.operator_name = "Jos\xE9";
  o.json = dir / "r.json";
  o.report = dir / "r.html";
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunSequence(o), kExitIncomplete);  // that answer is not a number
  const std::string err = testing::internal::GetCapturedStderr();
  json j = json::parse(Read(o.json));
  EXPECT_EQ(j["file"], dir / "s\uFFFDq.toml");
  EXPECT_EQ(j["operator"], "Jos\uFFFD");
  EXPECT_EQ(j["instrument"]["serial"], "SN\uFFFD42");
  const std::string html = Read(o.report);
  EXPECT_EQ(ValidUtf8(html), html);
  EXPECT_NE(html.find("Jos\uFFFD"), std::string::npos);
  EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
  EXPECT_NE(err.find("[1/1] \\e]0;owned\\x07\n"), std::string::npos) << err;
  EXPECT_NE(err.find("answer '1\\x00\uFFFD' for step 1 is not a number"), std::string::npos) << err;
}

TEST(Run, AStepTheInstrumentDidNotPlayFails) {
  // It answers the handshake but never asks for a packet: what the library sends unasked is all it gets.
  test::ScratchDir dir;
  emu::VirtualInstrument vi;
  RunOptions o;
  o.file = dir.Write("s.toml", "title = \"t\"\n[[step]]\nname = \"hr\"\nfunction = \"ecg\"\nduration = 2\n"
                               "prompt = \"HR\"\nexpect = { value = 60, tolerance = 5 }\n");
  o.port = vi.path();
  o.answers = dir.Write("a", "60\n");
  o.json = dir / "r.json";
  EXPECT_EQ(RunSequence(o), kExitFailed);
  const json step = json::parse(Read(o.json))["steps"][0];
  EXPECT_EQ(step["verdict"], "fail");
  EXPECT_LT(step["link"]["played_s"].get<double>(), 1);
  EXPECT_THAT(step["reason"].get<std::string>(),
              testing::MatchesRegex("played 0\\.[0-9]+ s of its 2 s: the instrument did not ask for the rest"));
}

TEST(Run, HtmlReportOpensInABrowser) {
  if (system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "chromium is not installed";
  const std::string base = kSequences + "baseline-reset";
  RunOptions o = Emulated(base + ".toml", base + ".answers");
  o.report = Temp("b.html");
  ASSERT_EQ(RunSequence(o), 0);
  // The browser's own view of the page: the DOM it built, with the four strips decoded.
  const std::string dom = Temp("dom.html");
  const std::string cmd = "chromium --headless --no-sandbox --disable-gpu --virtual-time-budget=2000 "
                          "--run-all-compositor-stages-before-draw --dump-dom 'file://" +
                          o.report +
                          "' 2>/dev/null | tr -d '\\n' > " + dom +
                          " && grep -o 'img alt' " + dom + " | wc -l > " + dom + ".n";
  ASSERT_EQ(system(cmd.c_str()), 0);
  EXPECT_EQ(Read(dom + ".n"), "4\n");
  EXPECT_NE(Read(dom).find("4 pass, 0 fail, 0 disclosed, 0 skipped"), std::string::npos);
}

}  // namespace
}  // namespace orna::cli::run
