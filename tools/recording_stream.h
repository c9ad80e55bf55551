// Recordings written as the points arrive: CSV row by row; EDF+ and WFDB
// through a spool file of the resampled signal (their headers need its peak
// and length), with the annotations, which are few, kept until the close.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools.h"

namespace orna::cli {

// An annotation at `t` seconds from the first point: a pacing pulse of
// `width_s`, or a label's text.
struct TimedNote {
  double t = 0;
  double width_s = 0;
  std::string text;
};

class RecordingWriter {
 public:
  virtual ~RecordingWriter() = default;
  // The next point, with the labels played on it.
  virtual void Add(const Point& p, const std::vector<std::string>& labels) = 0;
  // Writes what is still to be written; false on an I/O error.
  virtual bool Close() = 0;
};

// A writer for `path`: WFDB for .hea, EDF+ for .edf, CSV otherwise ("-" is
// standard output; `annotated` gives it the annotation column). Null when
// the file cannot be created.
std::unique_ptr<RecordingWriter> OpenRecording(const std::string& path, double period_s, const std::string& title,
                                               const std::string& equipment, const std::string& version,
                                               bool annotated);

// EDF+ from `n` resampled values read in order (see WriteEdf), their largest
// magnitude `peak_mV`.
bool WriteEdfFrom(const std::string& path, double period_s, std::size_t n, double peak_mV,
                  const std::function<std::size_t(double*, std::size_t)>& read,
                  const std::vector<TimedNote>& pulses, const std::vector<TimedNote>& labels,
                  const std::string& title, const std::string& equipment, const std::string& version);

}  // namespace orna::cli
