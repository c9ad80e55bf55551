// Loaders for waveforms kept in files: LoadECGtxt (rate, count, microvolts, one
// value per line) and LoadECGbin (header only).
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Room for the longest accepted path in UTF-8 (four bytes a character at the
// most) and its terminating zero: no allocation on the way to the file.
constexpr int kPathBytes = kECGPathMax * 4 + 1;

// The UTF-16 path as UTF-8, the encoding of file names here; surrogate pairs
// are joined. A null path, an unpaired surrogate or one of more than
// kECGPathMax characters is refused rather than changed, so that a different
// file is never opened by accident.
bool ConvertPath(const char16_t* path, char (&name)[kPathBytes]) {
  if (path == nullptr) return false;
  int k = 0;
  auto put = [&](char32_t byte) { name[k++] = static_cast<char>(byte); };
  for (int n = 0; path[n] != 0; ++n) {
    if (n == kECGPathMax) return false;
    char32_t c = path[n];
    if (c >= 0xDC00 && c <= 0xDFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      const char32_t low = path[n + 1];
      if (low < 0xDC00 || low > 0xDFFF || n + 1 == kECGPathMax) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++n;
    }
    if (c < 0x80) {
      put(c);
    } else if (c < 0x800) {
      put(0xC0 | (c >> 6));
      put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      put(0xE0 | (c >> 12));
      put(0x80 | ((c >> 6) & 0x3F));
      put(0x80 | (c & 0x3F));
    } else {
      put(0xF0 | (c >> 18));
      put(0x80 | ((c >> 12) & 0x3F));
      put(0x80 | ((c >> 6) & 0x3F));
      put(0x80 | (c & 0x3F));
    }
  }
  name[k] = 0;
  return true;
}

// Text files always use '.' as decimal point, whatever locale the host set;
// numbers are parsed in the C locale on this thread.
class CNumericLocale {
 public:
  CNumericLocale() {
    // Made once and kept: a locale per load would cost more than the parse.
    static const locale_t c = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    if (c != static_cast<locale_t>(0)) previous_ = uselocale(c);
  }
  ~CNumericLocale() {
    if (previous_ != static_cast<locale_t>(0)) uselocale(previous_);
  }
  CNumericLocale(const CNumericLocale&) = delete;
  CNumericLocale& operator=(const CNumericLocale&) = delete;

 private:
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

// Opens a regular file for reading, or gives null. Nothing here can block:
// a FIFO or a device is opened without waiting and then refused.
class File {
 public:
  explicit File(const char* name) {
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return;
    }
    f_ = fdopen(fd, "r");
    if (f_ == nullptr) close(fd);
  }
  ~File() {
    if (f_ != nullptr) std::fclose(f_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  std::FILE* get() const { return f_; }

 private:
  std::FILE* f_ = nullptr;
};

// What a text load read, installed under the lock when the reading is done.
struct TextLoad {
  int result = -1;
  bool rate_read = false;  // line 1 was read: its value replaces the rate
  double rate = 0.0;
  bool replace = false;    // the samples are replaced by `samples` (may be null)
  double* samples = nullptr;
  int size = 0;
};

TextLoad ReadText(std::FILE* file) {
  TextLoad load;
  CNumericLocale cLocale;
  char line[kLineSize];
  load.result = -2;
  if (std::fgets(line, kLineSize, file) == nullptr) return load;
  // A rate that is not a positive finite number cannot be played and is kept
  // as 0, like a missing one.
  const double rate = ParseDouble(line);
  load.rate_read = true;
  load.rate = (rate > 0 && std::isfinite(rate)) ? rate : 0.0;
  if (load.rate == 0) return load;

  load.result = -3;
  if (std::fgets(line, kLineSize, file) == nullptr) return load;
  const int count = ParseCount(line);
  if (count == 0) return load;

  // A failed allocation still releases the previous samples.
  load.replace = true;
  load.samples = AllocateSamples(count);
  load.result = -4;
  if (load.samples == nullptr) return load;

  while (load.size < count && std::fgets(line, kLineSize, file) != nullptr) {
    load.samples[load.size] = ClampSample(ParseDouble(line));
    ++load.size;
  }
  load.result = load.size;
  return load;
}

// Installs what a load read, under the lock; gives its result.
int Install(const TextLoad& load) {
  ExportLock lock;
  if (load.rate_read) ECGFileFreq = load.rate;
  if (load.replace) {
    std::free(ECGFile);
    ECGFile = load.samples;
    if (load.samples != nullptr) ECGFileSize = load.size;
  }
  return load.result;
}

}  // namespace

int _LoadECGtxtFrom(std::FILE* file) { return Install(ReadText(file)); }

int _LoadECGSamplesFrom(const double* microvolts, int count, double samples_per_second) {
  TextLoad load;
  // The text loader's steps, with the file's two lines and its samples given.
  load.result = -2;
  load.rate_read = true;
  load.rate = (samples_per_second > 0 && std::isfinite(samples_per_second)) ? samples_per_second : 0.0;
  if (load.rate != 0) {
    load.result = -3;
    if (count != 0 && (count < 0 || microvolts != nullptr)) {
      load.replace = true;
      load.samples = AllocateSamples(count);
      load.result = -4;
      if (load.samples != nullptr) {
        for (int i = 0; i < count; ++i) {
          load.samples[i] = ClampSample(std::isnan(microvolts[i]) ? 0.0 : microvolts[i]);
        }
        load.size = count;
        load.result = count;
      }
    } else if (count != 0) {
      load.result = -1;  // samples promised but none given
    }
  }
  return Install(load);
}

int _LoadECGbinFrom(std::FILE* file) {
  unsigned char rate[2];
  if (std::fread(rate, 1, sizeof rate, file) != sizeof rate) return -2;
  // The next four header bytes are read but carry nothing used here; a short
  // file is no error at this point.
  unsigned char unused[4];
  const std::size_t ignored = std::fread(unused, 1, sizeof unused, file);
  (void)ignored;
  ExportLock lock;
  ECGFileFreq = static_cast<double>((rate[0] << 8) | rate[1]);  // big-endian
  return ECGFileFreq == 0 ? -2 : -3;
}

}  // namespace orna

using namespace orna;

namespace {
// Both loaders open the file the same way and differ only in what they read.
int LoadFromPath(const char16_t* path, int (*load)(std::FILE*)) {
  // The file is read without the library lock (a slow or stalled file must
  // not hold up the stream), but the read can block all the same.
  NoCancel no_cancel;
  char name[kPathBytes];
  if (!ConvertPath(path, name)) return -1;
  File file(name);
  if (file.get() == nullptr) return -1;
  return load(file.get());
}
}  // namespace

extern "C" int LoadECGtxt(const char16_t* path) noexcept { return LoadFromPath(path, _LoadECGtxtFrom); }

extern "C" int LoadECGbin(const char16_t* path) noexcept { return LoadFromPath(path, _LoadECGbinFrom); }

extern "C" int OrnaLoadECGSamples(const double* microvolts, int count, double samplesPerSecond) noexcept {
  NoCancel no_cancel;
  return _LoadECGSamplesFrom(microvolts, count, samplesPerSecond);
}
