// WFDB records: a header (NAME.hea), one signal in format 16 (NAME.dat) and
// an MIT-format annotation file (NAME.atr), for the PhysioNet tools.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orna::cli {

// One annotation of a record: its sample, and the label as played ("N", "V",
// "(AFIB", ...) or a pacing pulse.
struct WfdbNote {
  std::uint64_t sample = 0;
  bool pacing = false;
  std::string label;
};

// The annotation code of a beat or rhythm label: the single-letter beat codes
// by their mnemonic, a record's labels (a mnemonic and its text, "+(N") by
// theirs with the text as aux, '(' rhythm labels as RHYTHM (their text as
// aux), anything else as NOTE with the text as aux. `aux`: the text, or empty.
int WfdbCode(const std::string& label, std::string* aux);
// The annotation file's bytes for notes sorted by sample.
std::vector<std::uint8_t> WfdbAnnotations(const std::vector<WfdbNote>& notes);

// Whether the path names a record header: ends in .hea (any case).
bool IsWfdbPath(const std::string& path);
// The gain (adu per mV) for a signal whose largest magnitude is `peak_mV`:
// 1000 (1 uV steps) while that fits 16 bits, otherwise the largest whole
// gain that does.
double WfdbGain(double peak_mV);

// Writes the record `path` (NAME.hea; NAME.dat and NAME.atr beside it):
// `n` samples in mV every `period_s`, taken in order from `read` (which fills
// up to its second argument values and returns how many it gave), their
// largest magnitude `peak_mV`; `comments` go into the header as info lines.
bool WriteWfdb(const std::string& path, double period_s, std::uint64_t n, double peak_mV,
               const std::function<std::size_t(double*, std::size_t)>& read, std::vector<WfdbNote> notes,
               const std::vector<std::string>& comments);

}  // namespace orna::cli
