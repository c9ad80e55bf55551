#include "run/report_text.h"

#include <cmath>
#include <cstdio>

#include "setting_table.h"
#include "text.h"

namespace orna::cli::run {

std::string Num(double v, const char* format) {
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

Summary Count(const Report& r) {
  Summary s;
  for (const auto& x : r.results) {
    // Instructions (nothing asked, nothing answered) are not counted.
    switch (x.done ? x.verdict : Verdict::Done) {
      case Verdict::Pass: ++s.pass; break;
      case Verdict::Fail: ++s.fail; break;
      case Verdict::Disclosed: ++s.disclosed; break;
      case Verdict::Skipped: ++s.skipped; break;
      case Verdict::Done: break;
    }
  }
  return s;
}

std::string MeasuredText(const Measured& m) {
  return (std::isnan(m.bpm) ? std::string("no beat rate")
                            : Num(m.bpm, "%.1f") + " bpm (" + std::to_string(m.beats) + " beats)") +
         ", " + Num(m.peak_to_peak_mV, "%.3f") + " mV peak to peak, " + std::to_string(m.pacing_pulses) +
         " pacing pulses";
}

std::string SummaryLine(const Report& r) {
  const Summary sum = Count(r);
  return std::to_string(sum.pass) + " pass, " + std::to_string(sum.fail) + " fail, " + std::to_string(sum.disclosed) +
         " disclosed, " + std::to_string(sum.skipped) + " skipped" + (r.completed ? "" : " (run not completed)");
}

// "61 (typed)"; an instruction's "done at 14:05:09 (typed)".
std::string ReadingText(const StepResult& x) {
  std::string text;
  if (x.verdict == Verdict::Done) {
    const std::string& at = x.confirmed.empty() ? x.ended : x.confirmed;
    text = "done" + (at.size() >= 19 ? " at " + at.substr(11, 8) : std::string());
  } else if (x.answered) {
    text = x.answer;
  }
  if (!x.source.empty() && !text.empty()) text += " (" + x.source + ")";
  return text;
}

std::string ReadingsText(const Report& r) {
  bool typed = false, from_file = false, monitor = false;
  for (const StepResult& x : r.results) {
    typed |= x.done && x.source == kSourceTyped;
    from_file |= x.done && x.source == kSourceAnswers;
    monitor |= x.done && x.source == kSourceMonitor;
  }
  std::string out;
  const auto add = [&](const std::string& part) { out += (out.empty() ? "" : "; ") + part; };
  if (!r.answers_file.empty() && (from_file || (!typed && !monitor)))
    add("from the answers file " + r.answers_file + " (SHA-256 " + r.answers_checksum + ")");
  if (typed) add("typed at the terminal");
  if (monitor) add("read from the monitor");
  return out.empty() ? "none asked" : out;
}

std::string DeviceText(const Report& r) {
  std::string out;
  for (const auto& [k, v] : r.device) out += (out.empty() ? "" : ", ") + k + " " + v;
  return out.empty() ? "(not given)" : out;
}

}  // namespace orna::cli::run
