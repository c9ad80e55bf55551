// Steps judged by what the monitor reports itself: a value it measures, an
// alarm it raises, an alarm it must not raise. Times count seconds of signal
// played from the start of the step.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include <toml++/toml.h>

namespace orna::cli::run {

struct Expectation;

struct MonitorExpect {
  enum class Kind { None, Value, Alarm, NoAlarm };
  Kind kind = Kind::None;
  std::string observation;  // Value: "heart_rate", "MDC:150456", "LN:8867-4"
  double settle = 0;        // Value: reports before this are not judged
  std::string match;        // Alarm, NoAlarm: in the alarm's identifier or text, any case
  double within = 0;        // Alarm: it must come this soon
  double for_s = 0;         // NoAlarm: for this long none may come
  bool judged() const { return kind != Kind::None; }
  // The least the step must play to be judged.
  double needs() const { return kind == Kind::Value ? settle : kind == Kind::Alarm ? within : for_s; }
  std::string describe() const;  // the alarm part; a value's is its Expectation's
};

// One thing the monitor reported during a step.
struct MonitorReading {
  double t = 0;             // s of signal from the start of the step
  std::string name;         // an observation's name, or the alarm's identifier and text
  double value = NAN;       // an observation's value (NaN for an alarm)
  std::string units;
  std::string time;         // as the monitor wrote it
  std::string message_id;   // MSH-10
  bool alarm = false, ended = false;
  bool judged = false;      // a report inside the judged window
  std::string source = "monitor";
};

// Whether `name` names an observation ("heart_rate", "MDC:digits", "LN:code").
bool ValidObservation(const std::string& name);
// `expect_alarm` / `expect_no_alarm` of a step; `resolve` gives a value's
// repeat substitution. An error message, or empty.
std::string ParseAlarmExpect(const toml::node& node, bool no_alarm,
                             const toml::node* (*resolve)(const toml::node&, const void*), const void* binding,
                             MonitorExpect* out);

struct Judged {
  bool pass = false;
  double value = NAN;   // the median value judged, or the alarm's time
  std::string answer;   // for the report, e.g. "72 (9 reports, 71 to 73)", "4.21 s"
  std::string reason;   // why it failed
};
// Judges `readings` (every report of the step, in order; those judged get
// `judged` set). Values: each report after `settle` must be within `expect`,
// and there must be one.
Judged JudgeMonitor(const MonitorExpect& m, const Expectation& expect, std::vector<MonitorReading>* readings);

}  // namespace orna::cli::run
