// A recorded ECG to play: one signal of a WFDB record or of an EDF, EDF+ or
// BDF file, in microvolts, with the record's annotations.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orna::records {

struct TimedLabel {
  double t_s;  // from the record's start (or the excerpt's)
  std::string text;
};

struct RecordRequest {
  std::string path;       // a WFDB header, a record name (PATH.hea) or an EDF/BDF file
  std::string signal;     // a name or a number from 0; "" picks the first ECG lead
  std::string annotator;  // WFDB only: the annotation file's suffix; "" is "atr"
};

struct Record {
  std::vector<std::string> signal_names;
  std::size_t chosen = 0;
  double samples_per_second = 0;  // of the chosen signal
  std::vector<double> microvolts;
  std::size_t invalid = 0;  // samples marked missing, played as the one before
  std::vector<TimedLabel> labels;
  std::string note;  // what the caller should know, e.g. no annotation file
};

// Reads the record. False with *error naming the file (and its line or byte)
// for anything refused: a multi-segment record, a format not read here, a
// signal that is not a voltage, a missing file.
bool LoadRecord(const RecordRequest& request, Record* record, std::string* error);

// The index of signal `wanted` (a name, any case, or a number from 0), or,
// for "", the first lead II / MLII, else the first ECG-like name, else 0.
// -1 when `wanted` names none.
long FindSignal(const std::vector<std::string>& names, const std::string& wanted);

// Microvolts per `units` (mV, uV, V; any case but M); 0 when not a voltage.
double MicrovoltsPer(const std::string& units);

// A piece of the record, resampled for playing.
struct Excerpt {
  std::vector<double> microvolts;  // at `rate`, --gain applied
  double rate = 5000;
  double start_s = 0;    // the record sample it starts at
  double seconds = 0;    // what it holds: cut short at the record's end
  std::vector<TimedLabel> labels;  // from the excerpt's start
  std::size_t beyond = 0;          // samples beyond +-5000 uV
  double peak_uV = 0;
};

// From `start_s` (rounded to the nearest sample) for `seconds` (0: to the
// end), scaled by `gain`, resampled to `rate`. False when start is past the end.
// The record's samples are taken (left empty) rather than copied: an hour at
// 5000/s is 144 MB.
bool MakeExcerpt(Record* record, double start_s, double seconds, double gain, double rate, Excerpt* out,
                 std::string* error);

// Reads an EDF, EDF+ or BDF file (EDFlib); LoadRecord's contract.
bool LoadEdf(const RecordRequest& request, Record* record, std::string* error);

}  // namespace orna::records
