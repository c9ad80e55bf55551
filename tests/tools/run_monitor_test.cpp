// Steps judged by the monitor's own HL7 reports, end to end: the shipped
// automatic sequences with the stand-in monitor on the virtual instrument,
// passing, and failing when it misreports; the alarm time as measured against
// the time the stand-in raised it; and the sequence checks of such steps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "run/run.h"

namespace orna::cli::run {
namespace {

using nlohmann::json;

const std::string kSequences = std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/")) + "/sequences/";

json RunAuto(const std::string& name, double misreport, int* code) {
  RunOptions o;
  o.file = kSequences + name + ".toml";
  o.emulate = true;
  o.virtual_monitor = true;
  o.misreport_bpm = misreport;
  o.json = testing::TempDir() + std::to_string(getpid()) + "_" + name + ".json";
  *code = RunSequence(o);
  std::ifstream in(o.json);
  std::stringstream ss;
  ss << in.rdbuf();
  return json::parse(ss.str(), nullptr, false);
}

class Automatic : public testing::TestWithParam<const char*> {};

TEST_P(Automatic, PassesWithTheStandInAndFailsWhenItMisreports) {
  const char* name = GetParam();
  int code = -1;
  json j = RunAuto(name, 0, &code);
  ASSERT_EQ(code, 0);
  for (const auto& s : j["steps"]) {
    EXPECT_EQ(s["verdict"], "pass") << s["name"] << ": " << s.value("reason", "");
    ASSERT_TRUE(s.contains("monitor"));
  }
  // Every reading is the monitor's, with its message and a signal time within its step.
  for (const auto& r : j["steps"][0]["monitor"]["readings"]) {
    EXPECT_EQ(r["source"], "monitor");
    EXPECT_THAT(r["message_id"].get<std::string>(), testing::StartsWith("VM"));
    EXPECT_GE(r["t"].get<double>(), 0);
    EXPECT_LE(r["t"].get<double>(), j["steps"][0]["link"]["played_s"].get<double>());
  }
  json bad = RunAuto(name, -40, &code);
  EXPECT_EQ(code, kExitFailed);
  int named = 0;
  for (const auto& s : bad["steps"])
    named += s["verdict"] == "fail" && std::regex_search(s.value("reason", ""), std::regex("monitor reported|no alarm"));
  EXPECT_GE(named, 1);
}

INSTANTIATE_TEST_SUITE_P(Sequences, Automatic,
                         testing::Values("heart-rate-accuracy-auto", "rate-change-auto", "tachycardia-alarm-auto"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST(RunMonitor, TimesTheAlarmAsTheStandInRaisedIt) {
  testing::internal::CaptureStderr();
  int code = -1;
  json j = RunAuto("tachycardia-alarm-auto", 0, &code);
  const std::string said = testing::internal::GetCapturedStderr();
  ASSERT_EQ(code, 0) << said;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(said, m, std::regex("MDC_EVT_ECG_TACHY raised at ([0-9.]+) s of signal"))) << said;
  // Signal time counts from the first step; the alarm's time in the report from its own step.
  const double raised = std::stod(m[1]) - j["steps"][0]["link"]["played_s"].get<double>();
  const json& step = j["steps"][1];
  EXPECT_NEAR(step["value"].get<double>(), raised, 0.2);
  EXPECT_GT(raised, 3);  // the stand-in's delay: the change, four beats of average, 3 s above the limit
  EXPECT_EQ(step["answer"].get<std::string>().back(), 's');
}

TEST(RunMonitor, RefusesMonitorStepsThatCannotBeJudged) {
  const std::string head = "title = \"t\"\n[[step]]\nname = \"a\"\nfunction = \"ecg\"\nduration = 5\n";
  const struct {
    const char* step;
    const char* message;
  } cases[] = {
      {"expect = { monitor = \"pulse\", value = 60, tolerance = 5 }", "expect.monitor must name an observation"},
      {"expect = { monitor = \"heart_rate\", value = 60, tolerance = 5, settle = 5 }", "longer than expect.settle"},
      {"expect = { monitor = \"heart_rate\", min = 50, settle = 1 }\nprompt = \"?\"", "has no prompt"},
      {"expect = { value = 60, tolerance = 5, settle = 1 }\nprompt = \"?\"", "expect.settle is for a monitor"},
      {"expect_alarm = { match = \"TACHY\" }", "expect_alarm must be a table"},
      {"expect_no_alarm = { match = \"\", for = 3 }", "expect_no_alarm.match must be a non-empty string"},
      {"expect_alarm = { match = \"X\", within = 3, after = 1 }", "unknown key expect_alarm.after"},
      {"expect_alarm = { match = \"X\", within = 3 }\nexpect = { monitor = \"MDC:150456\", min = 90, settle = 1 }",
       "not both"},
  };
  for (const auto& c : cases) {
    Sequence seq;
    std::vector<std::string> errors;
    EXPECT_FALSE(ParseSequence(head + c.step + "\n", "s.toml", &seq, &errors)) << c.step;
    EXPECT_THAT(errors, testing::Contains(testing::HasSubstr(c.message))) << c.step;
  }
  // An alarm step plays at least as long as it waits; the monitor answers, so no prompt is needed.
  Sequence seq;
  std::vector<std::string> errors;
  ASSERT_TRUE(ParseSequence(head + "expect_alarm = { match = \"{m}\", within = 8 }\nrepeat = { m = [\"TACHY\"] }\n",
                            "s.toml", &seq, &errors))
      << errors.front();
  EXPECT_EQ(seq.steps[0].duration, 8);
  EXPECT_EQ(seq.steps[0].monitor.match, "TACHY");
  // Without a monitor, such a sequence is refused before anything is played.
  RunOptions o;
  const std::string file = testing::TempDir() + std::to_string(getpid()) + "_alarm.toml";
  std::ofstream(file) << head << "expect_alarm = { match = \"TACHY\", within = 8 }\n";
  o.file = file;
  o.emulate = true;
  EXPECT_EQ(RunSequence(o), kExitUsage);
}

}  // namespace
}  // namespace orna::cli::run
