// `orna run`: plays a test sequence, asks the operator (or an answers file),
// judges each step and writes the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/measure.h"
#include "run/sequence.h"

namespace orna::cli::run {

// Exit codes besides the common ones (kExitUsage for a sequence with errors,
// kExitNoInstrument, kExitIo).
constexpr int kExitFailed = 1;      // the run completed and some step failed
constexpr int kExitIncomplete = 6;  // the run stopped before its last step

struct RunOptions {
  std::string file;
  bool emulate = false;
  std::string port, serial;
  std::string answers, report, json, record, resume, operator_name;
  double speed = 0;  // virtual instrument: 0 = as fast as the host answers
  std::string monitor_hl7;     // [ADDRESS:]PORT to take the monitor's HL7 reports on
  bool virtual_monitor = false;  // the stand-in monitor watches the virtual instrument
  double misreport_bpm = 0;      // the stand-in's error, for runs that must fail
};

struct LinkHealth {
  std::uint64_t underruns = 0, sequence_errors = 0, header_errors = 0, packets = 0;
  bool lost = false;   // the stream stopped during the step
  double played_s = 0; // instrument time played during the step
};

struct StepResult {
  bool done = false;
  bool answered = false;
  std::string answer;   // as given
  double value = 0;     // the answer as a number
  Verdict verdict = Verdict::Skipped;
  std::string reason;   // why a step failed that the answer does not explain
  LinkHealth link;
  bool has_measured = false;
  Measured measured;
  std::string strip_png;  // PNG bytes
  std::vector<MonitorReading> monitor;  // what the monitor reported during the step
};

struct Instrument {
  std::string serial, hardware, firmware, port;
  bool virtual_instrument = false;
};

struct Report {
  std::string title, source, file, checksum, date, operator_name, library_version;
  Instrument instrument;
  bool completed = false;
  double wall_seconds = 0;
  std::vector<StepResult> results;  // one per step of the sequence
};

int RunSequence(const RunOptions& options);

// The JSON report; and back (false when the text is not one).
std::string ReportJson(const Sequence& sequence, const Report& report);
bool ReadReportJson(const std::string& text, const Sequence& sequence, Report* report, std::string* error);
std::string ReportHtml(const Sequence& sequence, const Report& report);

}  // namespace orna::cli::run
