// WFDB headers of any text. Checked: a defined result, and a header taken is
// one the signal reader can use (known formats, frames per second above 0,
// samples per frame 1..1000, a positive gain, as many signals as announced).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "records/wfdb_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orna::records;
  Header h;
  std::string error;
  if (!ParseHeader(std::string_view(reinterpret_cast<const char*>(data), size), &h, &error)) {
    if (error.rfind("line ", 0) != 0) std::abort();  // every refusal names its line
    return 0;
  }
  if (!(h.frequency > 0) || h.frames == 0) std::abort();
  for (const SignalSpec& s : h.signals)
    if (!FormatKnown(s.format) || s.samples_per_frame < 1 || s.samples_per_frame > 1000 || !(s.gain > 0) ||
        s.skew < 0 || s.byte_offset < 0)
      std::abort();
  return 0;
}
