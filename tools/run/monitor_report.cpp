#include "run/monitor_report.h"

#include <cmath>
#include <cstdio>

#include "text.h"

namespace orna::cli::run {

using nlohmann::json;

std::string ExpectedText(const Step& st) {
  const MonitorExpect& m = st.monitor;
  if (m.kind == MonitorExpect::Kind::Value)
    return m.observation + " " + st.expect.describe() + (m.settle > 0 ? " after " + Number(m.settle) + " s" : "");
  if (m.judged()) return m.describe();
  return st.expect.describe();
}

json MonitorJson(const Step& st, const StepResult& x) {
  if (!st.monitor.judged() && x.monitor.empty()) return nullptr;
  json readings = json::array();
  for (const MonitorReading& r : x.monitor) {
    json j = {{"t", r.t}, {"name", ValidUtf8(r.name)}, {"time", ValidUtf8(r.time)},
              {"message_id", ValidUtf8(r.message_id)}, {"judged", r.judged}, {"source", r.source}};
    if (r.alarm) j["alarm"] = r.ended ? "ended" : "raised";
    else j["value"] = r.value, j["units"] = ValidUtf8(r.units);
    readings.push_back(j);
  }
  return {{"readings", readings}};
}

void MonitorFromJson(const json& s, StepResult* x) {
  if (!s.contains("monitor") || !s.at("monitor").is_object()) return;
  for (const json& j : s.at("monitor").at("readings")) {
    MonitorReading r;
    r.t = j.at("t").get<double>();
    r.name = j.at("name").get<std::string>();
    r.time = j.at("time").get<std::string>();
    r.message_id = j.at("message_id").get<std::string>();
    r.judged = j.at("judged").get<bool>();
    r.alarm = j.contains("alarm");
    r.ended = r.alarm && j.at("alarm") == "ended";
    if (!r.alarm) r.value = j.at("value").get<double>(), r.units = j.at("units").get<std::string>();
    x->monitor.push_back(r);
  }
}

std::string MonitorHtml(const StepResult& x, std::string (*escape)(const std::string&)) {
  if (x.monitor.empty()) return "";
  std::string rows = "<tr><th>Monitor reported</th><td><table><tr><th>s</th><th>report</th><th>value</th>"
                     "<th>time in message</th><th>message</th></tr>\n";
  for (const MonitorReading& r : x.monitor) {
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", r.t);
    const std::string value =
        r.alarm ? (r.ended ? "alarm ended" : "alarm raised") : Number(r.value) + " " + r.units;
    rows += std::string("<tr") + (r.judged ? " class=\"judged\"" : "") + "><td>" + t + "</td><td>" + escape(r.name) +
            "</td><td>" + escape(value) + "</td><td>" + escape(r.time) + "</td><td>" + escape(r.message_id) +
            "</td></tr>\n";
  }
  return rows + "</table></td></tr>\n";
}

}  // namespace orna::cli::run

namespace orna::cli::run {

std::string MonitorText(const StepResult& x) {
  std::string text;
  for (const MonitorReading& r : x.monitor) {
    char t[32];
    std::snprintf(t, sizeof t, "%.3f s", r.t);
    const std::string value = r.alarm ? (r.ended ? "alarm ended" : "alarm raised") : Number(r.value) + " " + r.units;
    text += std::string(text.empty() ? "" : "; ") + (r.judged ? "* " : "") + t + " " + r.name + " " + value +
            " (" + r.message_id + ", " + r.time + ")";
  }
  return text;
}

}  // namespace orna::cli::run
