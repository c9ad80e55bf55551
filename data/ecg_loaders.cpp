// Loaders for waveforms kept in files: LoadECGtxt (rate, count, microvolts, one
// value per line) and LoadECGbin (header only).
#include <locale.h>

#include <cmath>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "data/ecg_file.h"
#include "link/lock.h"
#include "orna.h"

namespace orna {
namespace {

constexpr int kLineSize = 128;  // a longer line is read in pieces of 127 characters
constexpr double kSampleLimit = 5000.0;

// Copies the low 8 bits of each character into buf (kECGPathMax + 1 bytes) and
// terminates it. A null or over-long path is refused rather than cut short, so
// that a different file is never opened by accident.
bool ConvertPath(const char16_t* path, char (&buf)[kECGPathMax + 1]) {
  if (path == nullptr) return false;
  int n = 0;
  for (; path[n] != 0; ++n) {
    if (n == kECGPathMax) return false;
    buf[n] = static_cast<char>(path[n] & 0xFF);
  }
  buf[n] = '\0';
  return true;
}

// Text files always use '.' as decimal point, whatever locale the host set;
// numbers are parsed in the C locale on this thread.
class CNumericLocale {
 public:
  CNumericLocale() : c_(newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0))) {
    if (c_ != static_cast<locale_t>(0)) previous_ = uselocale(c_);
  }
  ~CNumericLocale() {
    if (c_ != static_cast<locale_t>(0)) {
      uselocale(previous_);
      freelocale(c_);
    }
  }
  CNumericLocale(const CNumericLocale&) = delete;
  CNumericLocale& operator=(const CNumericLocale&) = delete;

 private:
  locale_t c_;
  locale_t previous_ = static_cast<locale_t>(0);
};

// strtod, with "nan" counted as no number (0): a NaN would otherwise pass every
// range check and reach the sample encoder.
double ParseDouble(const char* line) {
  const double v = std::strtod(line, nullptr);
  return std::isnan(v) ? 0.0 : v;
}

// Base-10 count as a 32-bit int. A value outside the int range is reported as
// -1 (treated like a negative count: no room can be made for it) rather than
// wrapped into an unrelated small count.
int ParseCount(const char* line) {
  errno = 0;
  const long v = std::strtol(line, nullptr, 10);
  if (errno == ERANGE || v > INT_MAX || v < INT_MIN) return -1;
  return static_cast<int>(v);
}

double ClampSample(double v) {
  if (v > kSampleLimit) return kSampleLimit;
  if (v < -kSampleLimit) return -kSampleLimit;
  return v;
}

// count x 8 bytes, or null when count is negative or the size does not fit.
double* AllocateSamples(int count) {
  if (count < 0) return nullptr;
  const std::size_t n = static_cast<std::size_t>(count);
  if (n > SIZE_MAX / sizeof(double)) return nullptr;
  return static_cast<double*>(std::malloc(n * sizeof(double)));
}

class File {
 public:
  File(const char* name, const char* mode) : f_(std::fopen(name, mode)) {}
  ~File() {
    if (f_ != nullptr) std::fclose(f_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  std::FILE* get() const { return f_; }

 private:
  std::FILE* f_;
};

}  // namespace
}  // namespace orna

using namespace orna;

extern "C" int LoadECGtxt(const char16_t* path) {
  LockGuard lock(s_lock);
  char name[kECGPathMax + 1];
  if (!ConvertPath(path, name)) return -1;
  File file(name, "r");
  if (file.get() == nullptr) return -1;
  CNumericLocale cLocale;

  char line[kLineSize];
  if (std::fgets(line, kLineSize, file.get()) == nullptr) return -2;
  // Stored at once; a rate that is not a positive finite number cannot be
  // played and is kept as 0, like a missing one.
  const double rate = ParseDouble(line);
  ECGFileFreq = (rate > 0 && std::isfinite(rate)) ? rate : 0.0;
  if (ECGFileFreq == 0) return -2;

  if (std::fgets(line, kLineSize, file.get()) == nullptr) return -3;
  const int count = ParseCount(line);
  if (count == 0) return -3;

  std::free(ECGFile);
  ECGFile = AllocateSamples(count);
  if (ECGFile == nullptr) return -4;

  ECGFileSize = 0;
  while (ECGFileSize < count && std::fgets(line, kLineSize, file.get()) != nullptr) {
    ECGFile[ECGFileSize] = ClampSample(ParseDouble(line));
    ++ECGFileSize;
  }
  return ECGFileSize;
}

extern "C" int LoadECGbin(const char16_t* path) {
  LockGuard lock(s_lock);
  char name[kECGPathMax + 1];
  if (!ConvertPath(path, name)) return -1;
  File file(name, "rb");
  if (file.get() == nullptr) return -1;

  unsigned char rate[2];
  if (std::fread(rate, 1, sizeof rate, file.get()) != sizeof rate) return -2;
  ECGFileFreq = static_cast<double>((rate[0] << 8) | rate[1]);  // big-endian
  if (ECGFileFreq == 0) return -2;

  // The next four header bytes are read but carry nothing used here; a short
  // file is no error at this point.
  unsigned char unused[4];
  const std::size_t ignored = std::fread(unused, 1, sizeof unused, file.get());
  (void)ignored;
  return -3;
}
