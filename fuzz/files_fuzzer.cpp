// LoadECGtxt and LoadECGbin fed arbitrary files. The first input byte picks
// the loader, the rest is the file. Checked: a defined result, samples that
// stay within +-5000 microvolts, a usable rate, and playback of whatever was
// loaded that reads only valid samples (the address sanitizer watches).
// The file is read from memory: the loaders after their open, the same code
// that reads files (opening and paths have unit tests of their own).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "data/ecg_file.h"
#include "link/lock.h"
#include "orna.h"

using namespace orna;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// A count line claiming millions of samples makes the loader reserve room for
// all of them; that measures the allocator rather than the parser (the unit
// tests cover it), so such files are passed over.
bool ClaimsHugeCount(const std::uint8_t* d, std::size_t n) {
  int line = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= n && line < 2; ++i) {
    if (i == n || d[i] == '\n' || i - start == 127) {
      if (++line == 2) {
        const std::string text(reinterpret_cast<const char*>(d + start), i - start);
        const long count = std::strtol(text.c_str(), nullptr, 10);
        return count > 100000;
      }
      start = (i < n && d[i] == '\n') ? i + 1 : i;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool binary = data[0] & 1;
  ++data;
  --size;
  if (!binary && ClaimsHugeCount(data, size)) return 0;
  // Read mode never writes to the buffer.
  std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
  Check(f != nullptr);

  if (binary) {
    const int r = _LoadECGbinFrom(f);
    std::fclose(f);
    if (size < 2) {
      Check(r == -2);
    } else {
      Check(r == (data[0] == 0 && data[1] == 0 ? -2 : -3));
      Check(ECGFileFreq == data[0] * 256 + data[1]);
    }
    return 0;
  }

  const int r = _LoadECGtxtFrom(f);
  std::fclose(f);
  Check(r >= -4 && r != -1);
  Check(std::isfinite(ECGFileFreq) && ECGFileFreq >= 0);
  if (r >= 0) {
    Check(ECGFileFreq > 0);
    Check(ECGFile != nullptr);
    Check(ECGFileSize == r);
    for (int i = 0; i < ECGFileSize; ++i) {
      Check(ECGFile[i] >= -5000.0 && ECGFile[i] <= 5000.0);
    }
  } else if (r == -4) {
    Check(ECGFile == nullptr);
  }
  // Playback over one period and beyond, as output 13 would read it.
  LockGuard lock(s_lock);
  const double period = ECGFileFreq > 0 ? ECGFileSize / ECGFileFreq : 1.0;
  for (double h : {0.0, period * 0.5, period * 0.999999, period, period * 2, -1.0}) {
    const double v = _ECGFileValue(h);
    Check(std::isfinite(v) && v >= -5.0 && v <= 5.0);
  }
  return 0;
}
