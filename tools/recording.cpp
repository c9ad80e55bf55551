// Recordings: CSV for spreadsheets and scripts, EDF+ for ECG viewers.
#include <edflib.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "recording_stream.h"
#include "run/files.h"
#include "wfdb_recording.h"
#include "tools.h"

namespace orna::cli {

bool WriteCsv(const std::string& path, const std::vector<Point>& points, const std::vector<Label>& labels) {
  const bool to_stdout = path == "-";
  FILE* f = to_stdout ? stdout : std::fopen(path.c_str(), "w");
  if (!f) return false;
  const bool annotated = !labels.empty();
  std::fprintf(f, "time_s,value_mV,high_range,pacing_pulse%s\n", annotated ? ",annotation" : "");
  auto label = labels.begin();
  std::string cell;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point& p = points[i];
    std::fprintf(f, "%.4f,%.6f,%d,%d", p.t, p.mV, p.high_range ? 1 : 0, p.pulse_s > 0 ? 1 : 0);
    if (annotated) {
      cell.clear();
      for (; label != labels.end() && label->point <= i; ++label)
        if (label->point == i) cell += (cell.empty() ? "" : " ") + label->text;
      std::fprintf(f, ",%s", cell.c_str());
    }
    std::fputc('\n', f);
  }
  if (to_stdout) return std::fflush(f) == 0 && !std::ferror(f);
  return std::fclose(f) == 0;
}

bool CanWrite(const std::string& path, std::string* why) {
  if (path == "-") return true;
  std::string target, reason;
  if (run::CheckOutput(path, &target, &reason)) return true;
  if (why != nullptr) *why = reason;
  return false;
}

std::vector<double> Resample(const std::vector<Point>& points, double period_s) {
  std::vector<double> out;
  if (points.empty() || !(period_s > 0)) return out;
  // Sample-and-hold: the value in force at each grid instant. The instrument's
  // half steps (pacing edges) fall between grid instants and are held over.
  // The grid starts at the first point: a recording begins with its first sample.
  double t0 = points.front().t;
  std::size_t n = static_cast<std::size_t>(std::floor((points.back().t - t0) / period_s + 1e-6)) + 1;
  out.reserve(n);
  std::size_t j = 0;
  for (std::size_t k = 0; k < n; ++k) {
    double t = t0 + k * period_s + 1e-9;
    while (j + 1 < points.size() && points[j + 1].t <= t) ++j;
    out.push_back(points[j].mV);
  }
  return out;
}

bool WriteEdfFrom(const std::string& path, double period_s, std::size_t n, double peak_mV,
                  const std::function<std::size_t(double*, std::size_t)>& read,
                  const std::vector<TimedNote>& pulses, const std::vector<TimedNote>& labels,
                  const std::string& title, const std::string& equipment, const std::string& version) {
  if (!(period_s >= 1e-5)) return false;
  // An empty recording still gets one sample.
  const bool empty = n == 0;
  if (empty) n = 1;

  // Data records of at most one second, a whole number of 10 us units long, so
  // that rates like 1/6 ms are stored exactly. Pacing pulses and labels go
  // into the one annotation signal (readers that take only the first would
  // miss any in a second), which holds one annotation per record: with more
  // annotations than one-second records, the records get shorter, down to
  // 10 ms; beyond that, no file at all rather than one that lost some.
  long period_units = std::lround(period_s * 1e5);
  if (period_units < 1 || std::fabs(period_units - period_s * 1e5) > 1e-6) return false;
  const std::size_t notes = pulses.size() + labels.size();
  const long longest = std::max(1L, 100000L / period_units);
  const long shortest = std::min(longest, (1000L + period_units - 1) / period_units);
  long per_record_l = longest;
  // The longest records of which there are at least as many as notes.
  if (notes > 1) per_record_l = std::min<long>(longest, static_cast<long>((n - 1) / (notes - 1)));
  if (per_record_l < shortest) return false;
  const int per_record = static_cast<int>(per_record_l);
  const long record_units = per_record_l * period_units;
  const double peak = std::ceil(std::max(1.0, peak_mV));

  int h = edfopen_file_writeonly(path.c_str(), EDFLIB_FILETYPE_EDFPLUS, 1);
  if (h < 0) return false;
  bool ok = edf_set_number_of_annotation_signals(h, 1) == 0 &&
            edf_set_datarecord_duration(h, static_cast<int>(record_units)) == 0 &&
            edf_set_samplefrequency(h, 0, per_record) == 0 &&
            edf_set_physical_maximum(h, 0, peak) == 0 && edf_set_physical_minimum(h, 0, -peak) == 0 &&
            edf_set_digital_maximum(h, 0, 32767) == 0 && edf_set_digital_minimum(h, 0, -32768) == 0 &&
            edf_set_label(h, 0, "ECG") == 0 && edf_set_physical_dimension(h, 0, "mV") == 0 &&
            edf_set_equipment(h, equipment.c_str()) == 0 &&
            edf_set_recording_additional(h, version.c_str()) == 0 &&
            // The header's recording field has room for few words: the
            // settings go where the person recorded would be described,
            // here the signal simulated.
            edf_set_patient_additional(h, title.c_str()) == 0;

  // Pacing pulses as annotations, so viewers list them (onsets and widths in
  // 100 us units).
  for (std::size_t i = 0; ok && i < pulses.size(); ++i)
    ok = edfwrite_annotation_utf8(h, std::llround(pulses[i].t * 1e4), std::max(1LL, std::llround(pulses[i].width_s * 1e4)),
                                  "Pacing pulse") == 0;
  for (std::size_t i = 0; ok && i < labels.size(); ++i)
    ok = edfwrite_annotation_utf8(h, std::llround(labels[i].t * 1e4), -1, labels[i].text.c_str()) == 0;

  std::vector<double> record(per_record);
  double last = 0;
  for (std::size_t at = 0; ok && at < n; at += per_record) {
    std::size_t got = empty ? 0 : read(record.data(), std::min<std::size_t>(per_record, n - at));
    if (got > 0) last = record[got - 1];
    // The last record is padded with the last value.
    for (; got < static_cast<std::size_t>(per_record); ++got) record[got] = last;
    ok = edfwrite_physical_samples(h, record.data()) == 0;
  }
  return edfclose_file(h) == 0 && ok;
}

bool WriteEdf(const std::string& path, const std::vector<Point>& points, double period_s,
              const std::string& title, const std::string& equipment,
              const std::string& version, const std::vector<Label>& labels) {
  if (!(period_s >= 1e-5)) return false;
  std::vector<double> samples = Resample(points, period_s);
  std::vector<TimedNote> pulses, notes;
  for (const auto& p : points)
    if (p.pulse_s > 0) pulses.push_back({p.t - points.front().t, p.pulse_s, ""});
  for (const auto& l : labels) {
    if (l.point >= points.size()) return false;
    notes.push_back({points[l.point].t - points.front().t, 0, l.text});
  }
  double peak = 0;
  for (double v : samples) peak = std::max(peak, std::fabs(v));
  std::size_t at = 0;
  auto read = [&](double* out, std::size_t k) {
    k = std::min(k, samples.size() - at);
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), k, out);
    at += k;
    return k;
  };
  return WriteEdfFrom(path, period_s, samples.size(), peak, read, pulses, notes, title, equipment, version);
}

namespace {

bool EndsIn(const std::string& path, const char* extension) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
  return tail == extension;
}

}  // namespace

bool IsEdfPath(const std::string& path) { return EndsIn(path, ".edf"); }
bool IsPngPath(const std::string& path) { return EndsIn(path, ".png"); }

bool WriteRecording(const std::string& path, const std::vector<Point>& points, double period_s,
                    const std::string& title, const std::string& equipment,
                    const std::string& version, const std::vector<Label>& labels) {
  if (IsWfdbPath(path)) {
    auto writer = OpenRecording(path, period_s, title, equipment, version, !labels.empty());
    if (!writer) return false;
    auto label = labels.begin();
    std::vector<std::string> here;
    for (std::size_t i = 0; i < points.size(); ++i) {
      here.clear();
      for (; label != labels.end() && label->point <= i; ++label)
        if (label->point == i) here.push_back(label->text);
      writer->Add(points[i], here);
    }
    return writer->Close();
  }
  if (IsEdfPath(path)) return WriteEdf(path, points, period_s, title, equipment, version, labels);
  return WriteCsv(path, points, labels);
}

}  // namespace orna::cli
