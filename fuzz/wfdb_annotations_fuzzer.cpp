// MIT annotation files of any bytes. Checked: a defined result, refusals that
// name a byte, annotations at sample 0 or later with a beat or event code,
// and labels without blanks (several share a recording's row, space-separated).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "records/wfdb_annotations.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orna::records;
  std::vector<Annotation> out;
  std::string error;
  if (!ReadAnnotations(data, size, &out, &error)) {
    if (error.rfind("byte ", 0) != 0) std::abort();
    return 0;
  }
  for (const Annotation& a : out) {
    if (a.sample < 0 || a.code < 0 || a.code > 49) std::abort();
    for (char c : LabelText(a))
      if (static_cast<unsigned char>(c) <= ' ') std::abort();
  }
  return 0;
}
