// Records on the command line: read, cut at --start for --seconds, scaled by
// --gain, resampled to output 13's 5000 samples per second.
#include "record_play.h"

#include <cmath>
#include <cstdio>

#include "records/record.h"
#include "text.h"

namespace orna::cli {

namespace {

constexpr double kPlayRate = 5000;

int Refuse(const std::string& why) {
  std::fprintf(stderr, "orna: %s\n", TerminalSafe(why).c_str());
  return kExitUsage;
}

std::string Percent(std::size_t part, std::size_t whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2g %%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

}  // namespace

std::string MisplacedRecordOption(const PlayOptions& o) {
  const char* given = !o.record_signal.empty() ? "--signal"
                      : o.record_start != 0    ? "--start"
                      : o.record_gain != 1     ? "--gain"
                      : !o.annotator.empty()   ? "--annotator"
                                               : nullptr;
  if (!given || IsRecord(o)) return "";
  return std::string(given) + " does nothing here: it is for 'orna play record PATH' only";
}

int PrepareRecord(const PlayOptions& o, RhythmLoop* loop, bool quiet) {
  if (o.record_path.empty()) return Refuse("'orna play record' needs the record's path (a .hea file or an EDF/BDF file)");
  // The record is its own waveform, rate and height.
  if (!std::isnan(o.amplitude)) return Refuse("--amplitude does nothing here: a record keeps its own (--gain scales it)");
  if (!std::isnan(o.frequency) || !std::isnan(o.bpm))
    return Refuse(std::string(std::isnan(o.bpm) ? "--frequency" : "--bpm") + " does nothing here: a record keeps its own rate");
  if (!o.file.empty()) return Refuse("--file does nothing here: a record is its own waveform");
  if (o.seed >= 0 || !o.rhythm_params.empty()) return Refuse("rhythm options do nothing here: a record is no rhythm");

  records::Record record;
  std::string error;
  const records::RecordRequest request{o.record_path, o.record_signal, o.annotator};
  if (!records::LoadRecord(request, &record, &error)) return Refuse(error);
  if (record.microvolts.empty()) return Refuse(o.record_path + ": the signal holds no samples");
  records::Excerpt excerpt;
  // No --seconds (0): the rest of the record, at most the longest run.
  const double wanted = o.seconds > 0 ? o.seconds : kMaxPlaySeconds;
  const double left_in_record = static_cast<double>(record.microvolts.size()) / record.samples_per_second;
  if (!records::MakeExcerpt(&record, o.record_start, wanted, o.record_gain, kPlayRate, &excerpt, &error))
    return Refuse(o.record_path + ": " + error);
  const double left = left_in_record - excerpt.start_s;
  if (o.seconds > 0 && excerpt.seconds < o.seconds)
    std::fprintf(stderr, "orna: the record ends %.3f s after --start: playing %.3f s, not %g s\n", excerpt.seconds,
                 excerpt.seconds, o.seconds);
  else if (!(o.seconds > 0) && left > excerpt.seconds)
    std::fprintf(stderr, "orna: playing the first %g s of the %.1f s left after --start\n", excerpt.seconds, left);

  if (!quiet)
    std::fprintf(stderr, "orna: %s: signal %zu (%s), %g samples/s, %.3f s from %.3f s, %zu annotations\n",
                 TerminalSafe(o.record_path).c_str(), record.chosen,
                 TerminalSafe(record.signal_names[record.chosen]).c_str(), record.samples_per_second,
                 excerpt.seconds, excerpt.start_s, excerpt.labels.size());
  if (!record.note.empty()) std::fprintf(stderr, "orna: %s\n", TerminalSafe(record.note).c_str());
  if (record.invalid > 0)
    std::fprintf(stderr, "orna: warning: %zu samples are marked missing in the record: each plays as the one before\n",
                 record.invalid);
  if (excerpt.beyond > 0)
    std::fprintf(stderr,
                 "orna: warning: %zu samples (%s) reach beyond the output's 5 mV (peak %.2f mV) and are clamped; "
                 "--gain %.2g would fit them\n",
                 excerpt.beyond, Percent(excerpt.beyond, excerpt.microvolts.size()).c_str(), excerpt.peak_uV / 1000,
                 std::floor(o.record_gain * 5000 / excerpt.peak_uV * 100) / 100);

  signals::Rendered& r = loop->rendered;
  r.microvolts = std::move(excerpt.microvolts);
  r.samples_per_second = kPlayRate;
  r.loop_s = static_cast<double>(r.microvolts.size()) / kPlayRate;
  for (const records::TimedLabel& l : excerpt.labels) r.annotations.push_back({l.t_s, l.text});
  loop->library = o;
  loop->library.seconds = r.loop_s;
  return kExitOk;
}

}  // namespace orna::cli
