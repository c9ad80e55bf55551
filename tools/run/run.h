// `orna run`: plays a test sequence, asks the operator (or an answers file),
// judges each step and writes the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/measure.h"
#include "run/sequence.h"
#include "run/strip.h"

namespace orna::cli::run {

// Exit codes besides the common ones (kExitUsage for a sequence with errors,
// kExitNoInstrument, kExitIo).
constexpr int kExitFailed = 1;      // the run completed and some step failed
constexpr int kExitIncomplete = 6;  // the run stopped before its last step

struct RunOptions {
  std::string file;
  bool emulate = false;
  std::string port, serial;
  std::string answers, report, json, pdf, record, resume, operator_name;
  std::vector<std::string> device;  // KEY=VALUE, over the sequence's [device]
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

// Where a reading came from.
constexpr const char* kSourceTyped = "typed";        // at the terminal
constexpr const char* kSourceAnswers = "answers";    // a line of the --answers file
constexpr const char* kSourceMeasured = "measured";  // computed from the virtual instrument's samples
constexpr const char* kSourceMonitor = "monitor";    // read from the monitor under test

struct StepResult {
  bool done = false;
  bool answered = false;
  std::string answer;   // as given
  double value = 0;     // the answer as a number
  std::string source;   // of the answer (kSource...); an instruction's: who confirmed it
  std::string started, ended;  // ISO 8601 with the UTC offset
  std::string confirmed;       // an instruction: when the operator said it was done
  Verdict verdict = Verdict::Skipped;
  std::string reason;   // why a step failed that the answer does not explain
  LinkHealth link;
  bool has_measured = false;
  Measured measured;
  Strip strip;            // the last seconds played, with calibration pulse and pacing marks
  std::string strip_png;  // the strip drawn, PNG bytes
  std::vector<MonitorReading> monitor;  // what the monitor reported during the step
};

struct Instrument {
  std::string serial, hardware, firmware, port;
  bool virtual_instrument = false;
};

struct Report {
  // file: the sequence's absolute path; date: when the run began (kept by --resume).
  std::string title, source, file, checksum, date, operator_name, library_version;
  std::string tool_version, host, ended;
  std::string answers_file, answers_checksum;  // the --answers file of the last part of the run
  std::vector<std::pair<std::string, std::string>> device;  // the monitor under test, as kDeviceKeys
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
// The report as a PDF (A4); empty when cairo cannot make one.
std::string ReportPdf(const Sequence& sequence, const Report& report);

// The first line of a summary, and the mark on every page, of a run on the virtual instrument.
constexpr const char* kVirtualMark = "VIRTUAL INSTRUMENT \u2014 NOT A TEST OF A MONITOR";

}  // namespace orna::cli::run
