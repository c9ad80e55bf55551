#include <cmath>
#include <cstdio>
#include <sstream>

#include <nlohmann/json.hpp>

#include "run/monitor_report.h"
#include "run/run.h"
#include "setting_table.h"
#include "text.h"

namespace orna::cli::run {

namespace {

using nlohmann::json;

json SettingValue(const std::string& text) {
  // Numbers, booleans and lists as themselves; anything else as text.
  json v = json::parse(text, nullptr, false);
  if (v.is_discarded() || v.is_object()) return text;
  return v;
}

// Outside text (file names, answers, an instrument's identity) may hold any
// bytes: the page takes it as UTF-8.
std::string Escape(const std::string& s) {
  std::string out;
  for (char c : ValidUtf8(s)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Base64(const std::string& in) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                 static_cast<unsigned char>(in[i + 2]);
    out += t[v >> 18], out += t[(v >> 12) & 63], out += t[(v >> 6) & 63], out += t[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += t[v >> 18], out += t[(v >> 12) & 63];
    out += i + 1 < in.size() ? t[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Num(double v, const char* format = "%g") {
  char buf[32];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

// A rate a step gives, the other way: the frequency of a heart rate, the
// heart rate of a heartbeat's frequency. Empty key when there is none.
std::pair<std::string, double> DerivedRate(const Step& st) {
  if (!st.state.rhythm.empty()) return {"", NAN};  // a rhythm's bpm is its own, not output 13's frequency
  const bool has_bpm = !std::isnan(st.own.bpm), has_frequency = !std::isnan(st.own.frequency);
  if (has_bpm && !has_frequency) return {"frequency", FrequencyOf(st.own)};
  if (has_frequency && !has_bpm && (FindSetting("bpm")->functions & FunctionBit(st.function)))
    return {"bpm", st.own.frequency * kSecondsPerMinute};
  return {"", NAN};
}

struct Summary {
  int pass = 0, fail = 0, disclosed = 0, skipped = 0;
};
Summary Count(const Report& r) {
  Summary s;
  for (const auto& x : r.results) {
    // Instructions (nothing asked, nothing answered) are not counted.
    if (!x.done || (!x.answered && x.verdict == Verdict::Disclosed)) continue;
    switch (x.verdict) {
      case Verdict::Pass: ++s.pass; break;
      case Verdict::Fail: ++s.fail; break;
      case Verdict::Disclosed: ++s.disclosed; break;
      case Verdict::Skipped: ++s.skipped; break;
    }
  }
  return s;
}

}  // namespace

std::string ReportJson(const Sequence& seq, const Report& r) {
  json j;
  // Outside text may hold any bytes; JSON takes only UTF-8.
  const auto u = [](const std::string& s) { return ValidUtf8(s); };
  j["title"] = u(r.title);
  j["source"] = u(r.source);
  j["file"] = u(r.file);
  j["checksum"] = "sha256:" + r.checksum;
  j["date"] = u(r.date);
  j["operator"] = u(r.operator_name);
  j["library_version"] = u(r.library_version);
  j["instrument"] = {{"serial", u(r.instrument.serial)},
                     {"hardware_version", u(r.instrument.hardware)},
                     {"firmware_version", u(r.instrument.firmware)},
                     {"port", u(r.instrument.port)},
                     {"virtual", r.instrument.virtual_instrument}};
  j["completed"] = r.completed;
  j["wall_seconds"] = std::round(r.wall_seconds * 1000) / 1000;
  j["steps_total"] = seq.steps.size();
  json steps = json::array();
  for (std::size_t i = 0; i < seq.steps.size() && i < r.results.size(); ++i) {
    const Step& st = seq.steps[i];
    const StepResult& x = r.results[i];
    if (!x.done) break;
    json s;
    s["index"] = i + 1;
    s["name"] = u(st.name);
    s["line"] = st.line;
    s["function"] = u(st.function_name);
    if (!st.state.rhythm.empty()) s["rhythm"] = st.state.rhythm;
    json settings = json::object();
    for (const auto& [k, v] : st.settings) settings[u(k)] = SettingValue(u(v));
    if (const auto [key, value] = DerivedRate(st); !key.empty()) settings[key] = value;
    s["settings"] = settings;
    s["duration"] = st.duration;
    if (!st.prompt.empty()) s["prompt"] = u(st.prompt);
    if (st.timed) s["timed"] = true;
    if (st.expect.judged() || st.monitor.judged()) s["expect"] = ExpectedText(st);
    s["answer"] = x.answered ? json(u(x.answer)) : json(nullptr);
    s["value"] = x.answered && x.verdict != Verdict::Skipped ? json(x.value) : json(nullptr);
    s["verdict"] = VerdictName(x.verdict);
    if (!x.reason.empty()) s["reason"] = u(x.reason);
    s["link"] = {{"underruns", x.link.underruns},   {"sequence_errors", x.link.sequence_errors},
                 {"header_errors", x.link.header_errors}, {"packets", x.link.packets},
                 {"lost", x.link.lost},               {"played_s", std::round(x.link.played_s * 1000) / 1000}};
    if (x.has_measured)
      s["measured"] = {{"bpm", std::isnan(x.measured.bpm) ? json(nullptr) : json(std::round(x.measured.bpm * 100) / 100)},
                       {"beats", x.measured.beats},
                       {"peak_to_peak_mV", std::round(x.measured.peak_to_peak_mV * 1000) / 1000},
                       {"pacing_pulses", x.measured.pacing_pulses}};
    if (json m = MonitorJson(st, x); !m.is_null()) s["monitor"] = m;
    steps.push_back(s);
  }
  j["steps"] = steps;
  Summary sum = Count(r);
  j["summary"] = {{"pass", sum.pass}, {"fail", sum.fail}, {"disclosed", sum.disclosed}, {"skipped", sum.skipped}};
  // Replace, never throw: a report is always written.
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool ReadReportJson(const std::string& text, const Sequence& seq, Report* r, std::string* error) {
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return *error = "not a JSON report", false;
  try {
    if (j.at("checksum").get<std::string>() != "sha256:" + seq.checksum)
      return *error = "the report is of another version of the sequence (checksum differs)", false;
    r->date = j.at("date").get<std::string>();
    r->operator_name = j.at("operator").get<std::string>();
    r->wall_seconds = j.at("wall_seconds").get<double>();
    r->results.assign(seq.steps.size(), StepResult());
    for (const auto& s : j.at("steps")) {
      const std::size_t i = s.at("index").get<std::size_t>() - 1;
      if (i >= seq.steps.size() || s.at("name").get<std::string>() != ValidUtf8(seq.steps[i].name))
        return *error = "step " + std::to_string(i + 1) + " does not match the sequence", false;
      StepResult& x = r->results[i];
      x.done = true;
      x.answered = !s.at("answer").is_null();
      if (x.answered) x.answer = s.at("answer").get<std::string>();
      if (!s.at("value").is_null()) x.value = s.at("value").get<double>();
      const std::string v = s.at("verdict").get<std::string>();
      x.verdict = v == "pass" ? Verdict::Pass : v == "fail" ? Verdict::Fail
                : v == "disclosed" ? Verdict::Disclosed : Verdict::Skipped;
      if (s.contains("reason")) x.reason = s.at("reason").get<std::string>();
      const json& l = s.at("link");
      x.link.underruns = l.at("underruns").get<std::uint64_t>();
      x.link.sequence_errors = l.at("sequence_errors").get<std::uint64_t>();
      x.link.header_errors = l.at("header_errors").get<std::uint64_t>();
      x.link.packets = l.at("packets").get<std::uint64_t>();
      x.link.lost = l.at("lost").get<bool>();
      x.link.played_s = l.at("played_s").get<double>();
      if (s.contains("measured")) {
        const json& m = s.at("measured");
        x.has_measured = true;
        x.measured.bpm = m.at("bpm").is_null() ? NAN : m.at("bpm").get<double>();
        x.measured.beats = m.at("beats").get<std::size_t>();
        x.measured.peak_to_peak_mV = m.at("peak_to_peak_mV").get<double>();
        x.measured.pacing_pulses = m.at("pacing_pulses").get<std::size_t>();
      }
      MonitorFromJson(s, &x);
    }
  } catch (const json::exception& e) {
    return *error = std::string("not a report of orna run: ") + e.what(), false;
  }
  return true;
}

std::string ReportHtml(const Sequence& seq, const Report& r) {
  std::ostringstream h;
  Summary sum = Count(r);
  h << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" << Escape(r.title)
    << "</title>\n<style>body{font:14px sans-serif;margin:2em;max-width:70em}"
       "table{border-collapse:collapse;margin:.5em 0}td,th{border:1px solid #bbb;padding:.2em .5em;text-align:left}"
       ".pass{background:#d8f0d8}.fail{background:#f6d0d0}.disclosed{background:#e4e8f4}.skipped{background:#eee}.judged{font-weight:bold}"
       "section{margin:1.5em 0;page-break-inside:avoid}img{max-width:100%;border:1px solid #ccc}</style></head><body>\n";
  h << "<h1>" << Escape(r.title) << "</h1>\n<table>\n";
  auto row = [&](const std::string& k, const std::string& v) {
    h << "<tr><th>" << k << "</th><td>" << Escape(v) << "</td></tr>\n";
  };
  row("Sequence", r.file);
  if (!r.source.empty()) row("Source", r.source);
  row("SHA-256", r.checksum);
  row("Date", r.date);
  row("Operator", r.operator_name.empty() ? "(not given)" : r.operator_name);
  row("Instrument", (r.instrument.virtual_instrument ? "virtual instrument, serial " : "serial ") +
                        r.instrument.serial + ", hardware " + r.instrument.hardware + ", firmware " +
                        r.instrument.firmware + " on " + r.instrument.port);
  row("Library", "liborna " + r.library_version);
  row("Result", std::to_string(sum.pass) + " pass, " + std::to_string(sum.fail) + " fail, " +
                    std::to_string(sum.disclosed) + " disclosed, " + std::to_string(sum.skipped) + " skipped" +
                    (r.completed ? "" : " (run not completed)"));
  h << "</table>\n<table>\n<tr><th>#</th><th>Step</th><th>Expected</th><th>Answer</th><th>Verdict</th></tr>\n";
  for (std::size_t i = 0; i < seq.steps.size() && i < r.results.size(); ++i) {
    const StepResult& x = r.results[i];
    if (!x.done) break;
    const char* v = VerdictName(x.verdict);
    h << "<tr><td>" << i + 1 << "</td><td><a href=\"#s" << i + 1 << "\">" << Escape(seq.steps[i].name)
      << "</a></td><td>" << Escape(ExpectedText(seq.steps[i])) << "</td><td>" << Escape(x.answer)
      << "</td><td class=\"" << v << "\">" << v << "</td></tr>\n";
  }
  h << "</table>\n";
  for (std::size_t i = 0; i < seq.steps.size() && i < r.results.size(); ++i) {
    const Step& st = seq.steps[i];
    const StepResult& x = r.results[i];
    if (!x.done) break;
    h << "<section id=\"s" << i + 1 << "\"><h2>" << i + 1 << ". " << Escape(st.name) << "</h2>\n<table>\n";
    std::string settings = st.function_name + (st.state.rhythm.empty() ? "" : " " + st.state.rhythm) +
                           (st.names_function ? "" : " (playing)");
    for (const auto& [k, v] : st.settings) settings += ", " + k + " = " + v;
    if (const auto [key, value] = DerivedRate(st); !key.empty()) settings += ", " + key + " = " + Num(value) + " (derived)";
    row("Settings", settings);
    row("Duration", Num(st.duration) + " s" + (st.timed ? " (timed from the change)" : ""));
    if (!st.instruction.empty()) row("Instruction", st.instruction);
    if (!st.prompt.empty()) row("Prompt", st.prompt);
    if (st.expect.judged() || st.monitor.judged()) row("Expected", ExpectedText(st));
    if (!st.prompt.empty()) row("Answer", x.answered ? x.answer : "(none)");
    h << "<tr><th>Verdict</th><td class=\"" << VerdictName(x.verdict) << "\">" << VerdictName(x.verdict)
      << "</td></tr>\n";
    if (!x.reason.empty()) row("Reason", x.reason);
    row("Link", std::to_string(x.link.packets) + " packets, " + std::to_string(x.link.underruns) + " underruns, " +
                    std::to_string(x.link.sequence_errors) + " sequence errors" +
                    (x.link.lost ? ", stream LOST" : "") + "; " + Num(x.link.played_s, "%.2f") + " s played");
    if (x.has_measured)
      row("Measured", (std::isnan(x.measured.bpm) ? std::string("no beat rate")
                                                  : Num(x.measured.bpm, "%.1f") + " bpm (" +
                                                        std::to_string(x.measured.beats) + " beats)") + ", " +
                          Num(x.measured.peak_to_peak_mV, "%.3f") + " mV peak to peak, " +
                          std::to_string(x.measured.pacing_pulses) + " pacing pulses");
    h << MonitorHtml(x, Escape) << "</table>\n";
    if (!x.strip_png.empty())
      h << "<img alt=\"what was played in step " << i + 1 << "\" src=\"data:image/png;base64," << Base64(x.strip_png)
        << "\">\n";
    h << "</section>\n";
  }
  h << "<p><small>Tolerances come from the sequence file; check them against the edition of the standard you "
       "test to.</small></p>\n</body></html>\n";
  return h.str();
}

}  // namespace orna::cli::run
