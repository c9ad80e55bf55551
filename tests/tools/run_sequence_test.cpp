// Sequence files of `orna run`: what the parser refuses (with the line),
// how `repeat` expands, how settings carry from step to step, and the
// judgement at the bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/sequence.h"
#include "setting_table.h"

namespace orna::cli::run {
namespace {

std::vector<std::string> Errors(const std::string& text) {
  Sequence s;
  std::vector<std::string> errors;
  EXPECT_FALSE(ParseSequence(text, "t.toml", &s, &errors));
  return errors;
}

TEST(RunSequence, ErrorsNameTheLine) {
  EXPECT_EQ(Errors(R"(title = "x"
colour = "red"
[[step]]
name = "a"
function = "ecg"
settings = { amplitude = 12, t_wave = 0.5 }
duration = 5
prompt = "HR"
expect = { min = 70, max = 60 }
[[step]]
name = "b"
settings = { frequency = 1 }
promt = "typo"
expect = { value = 60, tolerance = 5 }
[[step]]
name = "c"
function = "ecg-squiggle"
[[step]]
name = "d"
settings = { speed = 3 }
)"),
            (std::vector<std::string>{
                "t.toml:2: unknown key 'colour' (title, source, [device], [[step]])",
                "t.toml:6: amplitude = 12 refused: amplitude outside -10 to 10 mV",
                "t.toml:9: expect.min is above expect.max: no answer could pass",
                "t.toml:13: unknown key 'promt' (name, function, rhythm, settings, duration, prompt, instruction, "
                "timed, expect, expect_alarm, expect_no_alarm, repeat)",
                "t.toml:14: expect without a prompt: nothing to judge",
                "t.toml:17: unknown function 'ecg-squiggle' (a name or number, as orna play takes them)",
                "t.toml:20: unknown setting 'speed' (the names of orna play's options, with '_' for '-')",
            }));
  // The monitor under test: known keys, as text.
  EXPECT_EQ(Errors("title = \"x\"\n[device]\nmodel = 7\nmaker = \"m\"\nserial = \"S\"\n[[step]]\nname = \"a\"\n"
                   "function = 1\n"),
            (std::vector<std::string>{
                "t.toml:3: device.model must be a string",
                "t.toml:4: unknown key device.maker (manufacturer, model, serial, software, notes)"}));
  // A setting the function does not use, and a TOML syntax error.
  EXPECT_EQ(Errors("title = \"x\"\n[[step]]\nname = \"a\"\nfunction = \"ecg\"\nsettings = { t_wave = 0.5 }\n"),
            std::vector<std::string>{"t.toml:2: t_wave does nothing here: it is for cal-ecg only"});
  auto syntax = Errors("title = \"x\"\n\n[[step]]\nname = \"a\n");
  ASSERT_EQ(syntax.size(), 1u);
  EXPECT_EQ(syntax[0].rfind("t.toml:4: ", 0), 0u) << syntax[0];
  EXPECT_EQ(Errors("title = \"x\"\n[[step]]\nname = \"a\"\nfunction = 1\nprompt = \"p\"\n"
                   "expect = { value = 1, tolerance = -1 }\n"),
            std::vector<std::string>{"t.toml:6: expect.tolerance is negative: no answer could pass"});
  EXPECT_EQ(Errors("title = \"x\"\n[[step]]\nname = \"{nope}\"\nfunction = 1\n"),
            std::vector<std::string>{"t.toml:3: name names {nope}, which no repeat defines"});
  // Six lists of sixteen: 16.7 million steps from a few hundred bytes.
  std::string sixteen = "[0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15]";
  EXPECT_EQ(Errors("title = \"x\"\n[[step]]\nname = \"n\"\nfunction = 1\nrepeat = { a = " + sixteen + ", b = " +
                   sixteen + ", c = " + sixteen + ", d = " + sixteen + ", e = " + sixteen + ", f = " + sixteen + " }\n"),
            std::vector<std::string>{"t.toml:5: repeat makes 16777216 steps; a sequence may have at most 10000"});
}

TEST(RunSequence, RepeatExpandsEveryCombinationAndRows) {
  Sequence s;
  std::vector<std::string> errors;
  ASSERT_TRUE(ParseSequence(R"(title = "p"
[[step]]
name = "{pa} mV {pw} ms"
repeat = { pa = [2, -700], pw = [0.1, 2] }
function = "ecg"
settings = { pacing_amplitude = "{pa}", pacing_width = "{pw}" }
[[step]]
name = "{bpm} bpm"
repeat = [ { bpm = 30, hz = 0.5 }, { bpm = 120, hz = 2 } ]
settings = { frequency = "{hz}" }
prompt = "HR"
expect = { value = "{bpm}", tolerance_percent = 10 }
)",
                            "p.toml", &s, &errors))
      << errors[0];
  ASSERT_EQ(s.steps.size(), 6u);
  EXPECT_EQ(s.steps[0].name, "2 mV 0.1 ms");
  EXPECT_EQ(s.steps[1].name, "2 mV 2 ms");
  EXPECT_EQ(s.steps[3].name, "-700 mV 2 ms");
  EXPECT_EQ(s.steps[3].state.pacing_amplitude, -700);
  EXPECT_EQ(s.steps[3].state.pacing_width, 2);
  EXPECT_EQ(s.steps[5].name, "120 bpm");
  EXPECT_EQ(s.steps[5].expect.lo(), 108);
  EXPECT_EQ(s.steps[5].expect.hi(), 132);
  // A step without a function keeps the one playing and the settings in force.
  EXPECT_FALSE(s.steps[5].names_function);
  EXPECT_EQ(s.steps[5].function, 10);
  EXPECT_EQ(s.steps[5].state.frequency, 2);
  EXPECT_EQ(s.steps[5].state.pacing_amplitude, -700);
  EXPECT_TRUE(std::isnan(s.steps[5].own.pacing_amplitude));
  EXPECT_EQ(s.checksum, Sha256Hex(R"(title = "p"
[[step]]
name = "{pa} mV {pw} ms"
repeat = { pa = [2, -700], pw = [0.1, 2] }
function = "ecg"
settings = { pacing_amplitude = "{pa}", pacing_width = "{pw}" }
[[step]]
name = "{bpm} bpm"
repeat = [ { bpm = 30, hz = 0.5 }, { bpm = 120, hz = 2 } ]
settings = { frequency = "{hz}" }
prompt = "HR"
expect = { value = "{bpm}", tolerance_percent = 10 }
)"));
}

// A heart rate is the frequency per minute, for heartbeats only, and given
// one way at a time.
TEST(RunSequence, HeartRateInBpm) {
  EXPECT_EQ(Errors("title = \"x\"\n[[step]]\nname = \"a\"\nfunction = \"sine\"\nsettings = { bpm = 60 }\n"
                   "[[step]]\nname = \"b\"\nfunction = \"ecg\"\nsettings = { frequency = 1, bpm = 60 }\n"
                   "[[step]]\nname = \"c\"\nsettings = { bpm = 2.9 }\n[[step]]\nname = \"d\"\nsettings = { bpm = nan }\n"),
            (std::vector<std::string>{"t.toml:2: bpm does nothing here: sine is not a heartbeat: give its frequency in Hz",
                                      "t.toml:6: frequency and bpm both given: give one of them",
                                      "t.toml:12: bpm = 2.9 refused: takes 3 to 30000",
                                      "t.toml:15: bpm = nan refused: takes 3 to 30000"}));
  Sequence s;
  std::vector<std::string> errors;
  ASSERT_TRUE(ParseSequence("title = \"x\"\n[[step]]\nname = \"a\"\nfunction = \"cal-ecg\"\nsettings = { frequency = 2 }\n"
                            "[[step]]\nname = \"b\"\nsettings = { bpm = 90 }\n"
                            "[[step]]\nname = \"c\"\nsettings = { frequency = 1 }\n",
                            "t.toml", &s, &errors))
      << errors[0];
  // The rate given last is the one in force.
  EXPECT_EQ(FrequencyOf(s.steps[1].state), 1.5);
  EXPECT_TRUE(std::isnan(s.steps[2].state.bpm));
  EXPECT_EQ(FrequencyOf(s.steps[2].state), 1);
}

TEST(RunSequence, JudgementAtTheBounds) {
  Expectation abs;
  abs.value = 60, abs.tolerance = 5;
  EXPECT_EQ(Judge(abs, 65), Verdict::Pass);
  EXPECT_EQ(Judge(abs, 55), Verdict::Pass);
  EXPECT_EQ(Judge(abs, 65.01), Verdict::Fail);
  EXPECT_EQ(Judge(abs, 54.99), Verdict::Fail);
  Expectation pct;
  pct.value = 250, pct.tolerance_percent = 5;
  EXPECT_EQ(Judge(pct, 262.5), Verdict::Pass);
  EXPECT_EQ(Judge(pct, 237.5), Verdict::Pass);
  EXPECT_EQ(Judge(pct, 262.6), Verdict::Fail);
  Expectation max;
  max.max = 10;
  EXPECT_EQ(Judge(max, 10), Verdict::Pass);
  EXPECT_EQ(Judge(max, -3), Verdict::Pass);
  EXPECT_EQ(Judge(max, 10.1), Verdict::Fail);
  Expectation range;
  range.min = 0.707, range.max = 1.1;
  EXPECT_EQ(Judge(range, 0.707), Verdict::Pass);
  EXPECT_EQ(Judge(range, 0.7), Verdict::Fail);
  EXPECT_EQ(Judge(Expectation(), 123), Verdict::Disclosed);
  EXPECT_EQ(max.describe(), "\u2264 10");
  EXPECT_EQ(abs.describe(), "60 \u00b1 5");
}

TEST(RunSequence, Sha256) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex(std::string(1000, 'a')).substr(0, 16), "41edece42d63e8d9");
}

}  // namespace
}  // namespace orna::cli::run
