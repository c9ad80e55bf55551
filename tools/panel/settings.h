// The panel's settings: those of the shared table (tools/setting_table.h) with
// the page's units, ranges and defaults, applied one value at a time.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace orna::panel {

using Json = nlohmann::ordered_json;  // keeps the order a request gave

struct Outcome {
  int code = 0;      // the library's result code (0 accepted)
  std::string text;  // the library's words for it
  std::string field = {};  // the part of a compound value refused, when not the whole
};

struct ChosenRhythm;

// What the panel remembers on top of the library's own settings: the IEC
// waveform picked for a function not playing yet, when a scan began, and the
// rhythm chosen for output 13.
class Settings {
 public:
  Settings();
  ~Settings();
  // Unit, range, default and kind of every setting, for the page.
  static Json Schema();
  // Every setting's value in force, under the same names.
  Json Current();
  // Applies one setting; unknown names get code -100.
  Outcome Apply(const std::string& name, const Json& value);
  // Progress of a running frequency scan, 0..1; negative when none runs.
  double ScanProgress();
  // Looks up a function by name or number (0..13); -1 when unknown.
  static int FunctionNumber(const Json& value);
  // Forgets what the panel remembered (after a new connection).
  void Forget();

 private:
  Outcome Start(int function);
  Outcome LoadChosenRhythm();
  std::mutex m_;
  int iec227_ = 0, iec251_ = 0;
  std::chrono::steady_clock::time_point scan_start_{};
  double scan_seconds_ = 0;
  std::unique_ptr<ChosenRhythm> rhythm_;
  bool rhythm_loaded_ = false;  // output 13 holds the chosen rhythm
};

}  // namespace orna::panel
