#include "run/monitor_step.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "run/sequence.h"
#include "run/settings.h"
#include "text.h"

namespace orna::cli::run {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f s", s);
  return buf;
}

}  // namespace

std::string MonitorExpect::describe() const {
  switch (kind) {
    case Kind::Alarm: return "alarm '" + match + "' within " + Number(within) + " s";
    case Kind::NoAlarm: return "no alarm '" + match + "' for " + Number(for_s) + " s";
    default: return "";
  }
}

bool ValidObservation(const std::string& name) {
  if (name == "heart_rate") return true;
  const bool mdc = name.rfind("MDC:", 0) == 0, ln = name.rfind("LN:", 0) == 0;
  const std::string code = name.substr(mdc ? 4 : 3);
  if (!(mdc || ln) || code.empty()) return false;
  return std::all_of(code.begin(), code.end(), [&](char c) { return std::isdigit(static_cast<unsigned char>(c)) || (ln && c == '-'); });
}

std::string ParseAlarmExpect(const toml::node& node, bool no_alarm,
                             const toml::node* (*resolve)(const toml::node&, const void*), const void* binding,
                             MonitorExpect* out) {
  const char* key = no_alarm ? "expect_no_alarm" : "expect_alarm";
  const char* span = no_alarm ? "for" : "within";
  const auto* t = node.as_table();
  const std::string example = std::string(key) + " must be a table, e.g. { match = \"TACHY\", " + span + " = 10 }";
  if (!t) return example;
  out->kind = no_alarm ? MonitorExpect::Kind::NoAlarm : MonitorExpect::Kind::Alarm;
  double seconds = NAN;
  for (auto&& [k, raw] : *t) {
    const toml::node* v = resolve(raw, binding);
    if (k == "match" && v->is_string() && !v->as_string()->get().empty()) out->match = v->as_string()->get();
    else if (k == span && AsNumber(*v, &seconds) && seconds > 0 && seconds <= 3600) continue;
    else if (k == "match") return std::string(key) + ".match must be a non-empty string";
    else if (k == span) return std::string(key) + "." + span + " must be a number of seconds, above 0 up to 3600";
    else return "unknown key " + std::string(key) + "." + std::string(k.str()) + " (match, " + span + ")";
  }
  if (out->match.empty() || std::isnan(seconds)) return example;
  (no_alarm ? out->for_s : out->within) = seconds;
  return "";
}

Judged JudgeMonitor(const MonitorExpect& m, const Expectation& expect, std::vector<MonitorReading>* readings) {
  Judged j;
  if (m.kind == MonitorExpect::Kind::Value) {
    std::vector<double> values;
    double lo = INFINITY, hi = -INFINITY;
    const MonitorReading* worst = nullptr;
    for (auto& r : *readings) {
      if (r.alarm || r.name != m.observation || r.t < m.settle) continue;
      r.judged = true;
      values.push_back(r.value);
      lo = std::min(lo, r.value), hi = std::max(hi, r.value);
      if (!worst && Judge(expect, r.value) == Verdict::Fail) worst = &r;
    }
    if (values.empty()) {
      j.reason = "no " + m.observation + " report from the monitor after the first " + Number(m.settle) + " s";
      return j;
    }
    std::sort(values.begin(), values.end());
    j.value = values[values.size() / 2];
    j.answer = Number(j.value) + " (" + std::to_string(values.size()) + " report" + (values.size() == 1 ? "" : "s") +
               (lo == hi ? "" : ", " + Number(lo) + " to " + Number(hi)) + ")";
    j.pass = !worst;
    if (worst)
      j.reason = "the monitor reported " + Number(worst->value) + " at " + Seconds(worst->t) + " (message " +
                 worst->message_id + "), outside " + expect.describe();
    return j;
  }
  const std::string match = Lower(m.match);
  const double span = m.kind == MonitorExpect::Kind::Alarm ? m.within : m.for_s;
  const MonitorReading* first = nullptr;
  for (auto& r : *readings) {
    if (!r.alarm || r.ended || r.t > span || Lower(r.name).find(match) == std::string::npos) continue;
    r.judged = true;
    if (!first) first = &r;
  }
  if (first) j.value = first->t, j.answer = Seconds(first->t);
  if (m.kind == MonitorExpect::Kind::Alarm) {
    j.pass = first != nullptr;
    if (!first) j.reason = "no alarm matching '" + m.match + "' within " + Number(m.within) + " s";
  } else {
    j.pass = first == nullptr;
    if (first)
      j.reason = "the monitor raised '" + first->name + "' at " + Seconds(first->t) + " (message " +
                 first->message_id + ")";
    else
      j.answer = "none";
  }
  return j;
}

}  // namespace orna::cli::run
