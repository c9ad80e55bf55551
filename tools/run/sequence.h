// Test sequences for `orna run`: a TOML file of steps, each played on the
// instrument and, where it asks, answered by the operator and judged.
#pragma once

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "run/monitor_step.h"
#include "tools.h"

namespace orna::cli::run {

// What an answer must be to pass. No bound at all: the reading is disclosed.
struct Expectation {
  double value = NAN, tolerance = NAN, tolerance_percent = NAN;
  double min = NAN, max = NAN;
  bool judged() const { return !std::isnan(value) || !std::isnan(min) || !std::isnan(max); }
  // The accepted interval [lo, hi] (infinite where unbounded).
  double lo() const;
  double hi() const;
  std::string describe() const;  // e.g. "60 ± 5", "≤ 10"
};

// Done: an instruction the operator carried out; nothing was read.
enum class Verdict { Pass, Fail, Disclosed, Skipped, Done };
const char* VerdictName(Verdict v);
// Pass or fail within the expectation (bounds included); Disclosed when there is none.
Verdict Judge(const Expectation& e, double answer);

struct Step {
  std::string name;
  int line = 0;                 // of the step's [[step]] header
  bool names_function = false;  // the step (re)starts its output function
  int function = 0;             // output function in force (1..13)
  std::string function_name;
  // This step's own settings as written (key with '_', value as text).
  std::vector<std::pair<std::string, std::string>> settings;
  PlayOptions own;    // the step's own settings only (unset fields at their "not given" values)
  PlayOptions state;  // every setting in force during the step
  double duration = 0;  // s played before the prompt
  std::string prompt;   // empty: an instruction only
  std::string instruction;
  bool timed = false;
  Expectation expect;
  MonitorExpect monitor;  // judged by the monitor's own reports, not by an answer
};

// What a sequence's [device] table may say of the monitor under test, in
// the order reports show it.
constexpr const char* kDeviceKeys[] = {"manufacturer", "model", "serial", "software", "notes"};

struct Sequence {
  std::string path, title, source, checksum;  // checksum: SHA-256 of the file, hex
  std::vector<std::pair<std::string, std::string>> device;  // key, value; keys of kDeviceKeys only
  std::vector<Step> steps;
};

// A sequence file is at most this large, and its steps with every `repeat`
// expanded at most this many: a sequence is played by hand, so ten thousand
// steps is more than a day at the bench.
constexpr std::size_t kMaxSequenceFile = 1024 * 1024;  // bytes
constexpr std::size_t kMaxSteps = 10000;

// Reads, expands and checks a sequence; every problem goes into `errors` as
// "FILE:LINE: message". True when there was none.
bool LoadSequence(const std::string& path, Sequence* sequence, std::vector<std::string>* errors);
// The same from text (`path` only names it in messages).
bool ParseSequence(const std::string& text, const std::string& path, Sequence* sequence,
                   std::vector<std::string>* errors);

// SHA-256 of `data`, as 64 hex digits.
std::string Sha256Hex(const std::string& data);

}  // namespace orna::cli::run
