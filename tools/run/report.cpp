#include <cmath>
#include <cstdio>
#include <sstream>

#include <nlohmann/json.hpp>

#include "run/report_text.h"
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
  j["started"] = u(r.date);
  j["ended"] = r.ended.empty() ? json(nullptr) : json(u(r.ended));
  j["operator"] = u(r.operator_name);
  json device = json::object();
  for (const auto& [k, v] : r.device) device[k] = u(v);
  j["device"] = device;
  j["library_version"] = u(r.library_version);
  j["tool_version"] = u(r.tool_version);
  j["host"] = u(r.host);
  if (!r.answers_file.empty())
    j["answers"] = {{"file", u(r.answers_file)}, {"checksum", "sha256:" + r.answers_checksum}};
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
    if (!x.source.empty()) s["source"] = x.source;
    s["verdict"] = VerdictName(x.verdict);
    if (!x.confirmed.empty()) s["confirmed"] = x.confirmed;
    s["started"] = x.started.empty() ? json(nullptr) : json(x.started);
    s["ended"] = x.ended.empty() ? json(nullptr) : json(x.ended);
    if (!x.reason.empty()) s["reason"] = u(x.reason);
    s["link"] = {{"underruns", x.link.underruns},   {"sequence_errors", x.link.sequence_errors},
                 {"header_errors", x.link.header_errors}, {"packets", x.link.packets},
                 {"lost", x.link.lost},               {"played_s", std::round(x.link.played_s * 1000) / 1000}};
    if (x.has_measured)
      s["measured"] = {{"bpm", std::isnan(x.measured.bpm) ? json(nullptr) : json(std::round(x.measured.bpm * 100) / 100)},
                       {"beats", x.measured.beats},
                       {"peak_to_peak_mV", std::round(x.measured.peak_to_peak_mV * 1000) / 1000},
                       {"pacing_pulses", x.measured.pacing_pulses},
                       {"source", kSourceMeasured}};
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
    if (j.contains("answers") && j.at("answers").is_object()) {
      const std::string sum = j.at("answers").at("checksum").get<std::string>();
      r->answers_file = j.at("answers").at("file").get<std::string>();
      r->answers_checksum = sum.rfind("sha256:", 0) == 0 ? sum.substr(7) : sum;
    }
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
                : v == "disclosed" ? Verdict::Disclosed : v == "done" ? Verdict::Done : Verdict::Skipped;
      // Reports written before instructions were "done" called them disclosed.
      if (x.verdict == Verdict::Disclosed && !x.answered && seq.steps[i].prompt.empty()) x.verdict = Verdict::Done;
      const auto text = [&](const char* key, std::string* out) {
        if (s.contains(key) && s.at(key).is_string()) *out = s.at(key).get<std::string>();
      };
      text("source", &x.source);
      text("started", &x.started);
      text("ended", &x.ended);
      text("confirmed", &x.confirmed);
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
  const bool virt = r.instrument.virtual_instrument;
  h << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" << Escape(r.title)
    << "</title>\n<style>body{font:14px sans-serif;margin:2em;max-width:70em}"
       "table{border-collapse:collapse;margin:.5em 0}td,th{border:1px solid #bbb;padding:.2em .5em;text-align:left}"
       ".pass{background:#d8f0d8}.fail{background:#f6d0d0}.disclosed{background:#e4e8f4}.skipped{background:#eee}"
       ".done{background:#eef4e4}.judged{font-weight:bold}.src{color:#555;font-size:90%}"
       "section{margin:1.5em 0;page-break-inside:avoid}img{max-width:100%;border:1px solid #ccc}"
       ".virtual{color:#b00;font-weight:bold;border:2px solid #b00;padding:.4em .6em}"
       // Fixed: printed on every page as well as over the whole window.
       ".watermark{position:fixed;top:45%;left:0;width:100%;text-align:center;transform:rotate(-30deg);"
       "font:bold 4vw sans-serif;white-space:nowrap;color:rgba(200,0,0,.18);pointer-events:none;z-index:9}"
       ".sign td{height:2.5em;min-width:14em}</style></head><body>\n";
  if (virt) h << "<div class=\"watermark\">" << kVirtualMark << "</div>\n";
  h << "<h1>" << Escape(r.title) << "</h1>\n";
  if (virt)
    h << "<p class=\"virtual\">" << kVirtualMark
      << ": these readings come from the virtual instrument, not from a monitor.</p>\n";
  h << "<table>\n";
  auto row = [&](const std::string& k, const std::string& v) {
    h << "<tr><th>" << k << "</th><td>" << Escape(v) << "</td></tr>\n";
  };
  row("Result", SummaryLine(r));
  row("Sequence", r.file);
  if (!r.source.empty()) row("Source", r.source);
  row("SHA-256", r.checksum);
  row("Monitor under test", DeviceText(r));
  row("Operator", r.operator_name.empty() ? "(not given)" : r.operator_name);
  row("Readings", ReadingsText(r));
  row("Started", r.date);
  row("Ended", r.ended.empty() ? "(not ended)" : r.ended);
  row("Instrument", (virt ? "virtual instrument, serial " : "serial ") + r.instrument.serial + ", hardware " +
                        r.instrument.hardware + ", firmware " + r.instrument.firmware + " on " + r.instrument.port);
  row("Software", "liborna " + r.library_version + ", orna " + r.tool_version + ", host " + r.host);
  h << "</table>\n<table>\n<tr><th>#</th><th>Step</th><th>Expected</th><th>Reading</th><th>Verdict</th>"
       "<th>Ended</th></tr>\n";
  for (std::size_t i = 0; i < seq.steps.size() && i < r.results.size(); ++i) {
    const StepResult& x = r.results[i];
    if (!x.done) break;
    const char* v = VerdictName(x.verdict);
    h << "<tr><td>" << i + 1 << "</td><td><a href=\"#s" << i + 1 << "\">" << Escape(seq.steps[i].name)
      << "</a></td><td>" << Escape(ExpectedText(seq.steps[i])) << "</td><td>" << Escape(ReadingText(x))
      << "</td><td class=\"" << v << "\">" << v << "</td><td>" << Escape(x.ended) << "</td></tr>\n";
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
    row("Started", x.started);
    row("Ended", x.ended);
    if (!st.instruction.empty()) row("Instruction", st.instruction);
    if (!st.prompt.empty()) row("Prompt", st.prompt);
    if (st.expect.judged() || st.monitor.judged()) row("Expected", ExpectedText(st));
    if (!st.prompt.empty()) row("Reading", x.answered ? ReadingText(x) : "(none)");
    h << "<tr><th>Verdict</th><td class=\"" << VerdictName(x.verdict) << "\">"
      << Escape(x.verdict == Verdict::Done ? ReadingText(x) : VerdictName(x.verdict)) << "</td></tr>\n";
    if (!x.reason.empty()) row("Reason", x.reason);
    row("Link", std::to_string(x.link.packets) + " packets, " + std::to_string(x.link.underruns) + " underruns, " +
                    std::to_string(x.link.sequence_errors) + " sequence errors" +
                    (x.link.lost ? ", stream LOST" : "") + "; " + Num(x.link.played_s, "%.2f") + " s played");
    if (x.has_measured) row("Measured", MeasuredText(x.measured) + " (" + kSourceMeasured + ")");
    h << MonitorHtml(x, Escape) << "</table>\n";
    if (!x.strip_png.empty())
      h << "<p class=\"src\">Last " << Num(x.strip.lo.size() * x.strip.bucket_s, "%.1f")
        << " s played; 25 mm/s, 10 mm/mV; 1 mV calibration pulse first; \u25BC pacing pulse</p>\n"
        << "<img alt=\"what was played in step " << i + 1 << "\" src=\"data:image/png;base64," << Base64(x.strip_png)
        << "\">\n";
    h << "</section>\n";
  }
  h << "<table class=\"sign\"><tr><th>Tested by</th><td>" << Escape(r.operator_name)
    << "</td><th>Signature</th><td></td><th>Date</th><td></td></tr>\n"
       "<tr><th>Reviewed by</th><td></td><th>Signature</th><td></td><th>Date</th><td></td></tr></table>\n";
  h << "<p><small>Tolerances come from the sequence file; check them against the edition of the standard you "
       "test to.</small></p>\n</body></html>\n";
  return h.str();
}

}  // namespace orna::cli::run
