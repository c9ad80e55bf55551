// Recordings: CSV for spreadsheets and scripts, EDF+ for ECG viewers.
#include <edflib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "tools.h"

namespace orna::cli {

bool WriteCsv(const std::string& path, const std::vector<Point>& points) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "time_s,value_mV,high_range\n");
  for (const auto& p : points) std::fprintf(f, "%.4f,%.6f,%d\n", p.t, p.mV, p.high_range ? 1 : 0);
  return std::fclose(f) == 0;
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

bool WriteEdf(const std::string& path, const std::vector<Point>& points, double period_s,
              const std::string& title) {
  if (!(period_s >= 1e-5)) return false;
  std::vector<double> samples = Resample(points, period_s);
  if (samples.empty()) samples.push_back(0.0);

  // Data records of at most one second, a whole number of 10 us units long, so
  // that rates like 1/6 ms are stored exactly.
  long period_units = std::lround(period_s * 1e5);
  if (period_units < 1 || std::fabs(period_units - period_s * 1e5) > 1e-6) return false;
  int per_record = static_cast<int>(std::max(1L, 100000L / period_units));
  long record_units = per_record * period_units;

  double peak = 1.0;
  for (double v : samples) peak = std::max(peak, std::fabs(v));
  peak = std::ceil(peak);

  int h = edfopen_file_writeonly(path.c_str(), EDFLIB_FILETYPE_EDFPLUS, 1);
  if (h < 0) return false;
  bool ok = edf_set_datarecord_duration(h, static_cast<int>(record_units)) == 0 &&
            edf_set_samplefrequency(h, 0, per_record) == 0 &&
            edf_set_physical_maximum(h, 0, peak) == 0 && edf_set_physical_minimum(h, 0, -peak) == 0 &&
            edf_set_digital_maximum(h, 0, 32767) == 0 && edf_set_digital_minimum(h, 0, -32768) == 0 &&
            edf_set_label(h, 0, "ECG") == 0 && edf_set_physical_dimension(h, 0, "mV") == 0 &&
            edf_set_equipment(h, "orna virtual or real simulator") == 0 &&
            edf_set_recording_additional(h, title.c_str()) == 0;

  // Pacing pulses as annotations, so viewers list them (onsets in 100 us units).
  for (std::size_t i = 0; ok && i < points.size(); ++i)
    if (points[i].high_range && (i == 0 || !points[i - 1].high_range))
      ok = edfwrite_annotation_utf8(h, std::llround((points[i].t - points.front().t) * 1e4), -1,
                                    "Pacing pulse") == 0;

  std::vector<double> record(per_record);
  for (std::size_t at = 0; ok && at < samples.size(); at += per_record) {
    for (int k = 0; k < per_record; ++k) {
      // The last record is padded with the last value.
      std::size_t i = std::min(at + k, samples.size() - 1);
      record[k] = samples[i];
    }
    ok = edfwrite_physical_samples(h, record.data()) == 0;
  }
  return edfclose_file(h) == 0 && ok;
}

bool WriteRecording(const std::string& path, const std::vector<Point>& points, double period_s,
                    const std::string& title) {
  auto ends_with = [&](const char* ext) {
    std::string e(ext);
    if (path.size() < e.size()) return false;
    std::string tail = path.substr(path.size() - e.size());
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
    return tail == e;
  };
  if (ends_with(".edf")) return WriteEdf(path, points, period_s, title);
  return WriteCsv(path, points);
}

}  // namespace orna::cli
