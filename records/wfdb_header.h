// WFDB record headers (.hea): the record line, one line per signal, comments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orna::records {

// One signal line. Fields not written take the defaults of the format.
struct SignalSpec {
  std::string file;           // signal file, relative to the header's folder
  int format = 0;             // 8, 16, 61, 80, 160, 212, 310, 311, 24, 32
  int samples_per_frame = 1;  // "212x4": four samples of this signal per frame
  long long skew = 0;         // frames by which the stored samples lag
  long long byte_offset = 0;  // bytes before the first sample in the file
  double gain = 200;          // ADC units per physical unit (0 written: 200)
  long long baseline = 0;     // ADC units of 0 physical units (default: adc_zero)
  std::string units = "mV";
  int adc_resolution = 0;     // bits, 0 when not written
  long long adc_zero = 0;
  long long initial_value = 0;  // format 8's start (default: adc_zero)
  std::string description;      // e.g. "MLII"; may be empty
  int line = 0;                 // line number in the header, for messages
};

struct Header {
  std::string name;
  double frequency = 250;   // frames per second
  long long frames = -1;    // -1: not written (the file's length decides)
  std::vector<SignalSpec> signals;
  std::vector<std::string> comments;  // text after '#', one per comment line
};

// Parses the text of a header. False with *error "line N: why" for anything
// it cannot read, a multi-segment record or an unsupported format.
bool ParseHeader(std::string_view text, Header* header, std::string* error);

// Whether this reader decodes the signal format.
bool FormatKnown(int format);

}  // namespace orna::records
