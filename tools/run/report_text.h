// The words the HTML and PDF reports share: the summary line, a reading
// with its source, the monitor under test, what was measured.
#pragma once

#include <string>
#include <utility>

#include "run/run.h"

namespace orna::cli::run {

std::string Num(double v, const char* format = "%g");

// A rate a step gives, the other way: the frequency of a heart rate, the
// heart rate of a heartbeat's frequency. Empty key when there is none.
std::pair<std::string, double> DerivedRate(const Step& st);

struct Summary {
  int pass = 0, fail = 0, disclosed = 0, skipped = 0;
};
Summary Count(const Report& r);
// "3 pass, 0 fail, 1 disclosed, 0 skipped", and whether the run was completed.
std::string SummaryLine(const Report& r);
// "61 (typed)"; an instruction's "done at 14:05:09 (typed)".
std::string ReadingText(const StepResult& x);
// "manufacturer ..., model ..."; "(not given)".
std::string DeviceText(const Report& r);
// Where the run's readings came from: the answers file (path, SHA-256), the terminal, the monitor.
std::string ReadingsText(const Report& r);
std::string MeasuredText(const Measured& m);

}  // namespace orna::cli::run
