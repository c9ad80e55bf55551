// The monitor's reports in the run's JSON and HTML reports.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "run/run.h"

namespace orna::cli::run {

// What a step expects, the monitor's part included: "heart_rate 60 ± 5 after 10 s".
std::string ExpectedText(const Step& step);
// The step's "monitor" object: its readings (source "monitor"); null when the step has none.
nlohmann::json MonitorJson(const Step& step, const StepResult& result);
void MonitorFromJson(const nlohmann::json& step, StepResult* result);
// Rows of the step's table in the HTML report (empty when none).
std::string MonitorHtml(const StepResult& result, std::string (*escape)(const std::string&));
// The same as one text (the PDF): "; " between reports, "* " before those judged.
std::string MonitorText(const StepResult& result);

}  // namespace orna::cli::run
