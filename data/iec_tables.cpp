#include "data/iec_tables.h"

// Raw tables embedded by the generated assembler source (see data/tables.cmake).
extern "C" {
__attribute__((visibility("hidden"))) extern const std::int32_t orna_iec227w_blob[];
__attribute__((visibility("hidden"))) extern const std::int32_t orna_iec251w_blob[];
}

namespace orna {

const std::int32_t* const IEC227W = orna_iec227w_blob;
const std::int32_t* const IEC251W = orna_iec251w_blob;

// The double nearest N / 720 for each waveform.
const double IEC227WL[kIEC227Count] = {
    kIEC227Samples[0] / kIEC227Rate, kIEC227Samples[1] / kIEC227Rate, kIEC227Samples[2] / kIEC227Rate,
    kIEC227Samples[3] / kIEC227Rate, kIEC227Samples[4] / kIEC227Rate, kIEC227Samples[5] / kIEC227Rate,
    kIEC227Samples[6] / kIEC227Rate, kIEC227Samples[7] / kIEC227Rate, kIEC227Samples[8] / kIEC227Rate,
    kIEC227Samples[9] / kIEC227Rate,
};

namespace {

// trunc(x) limited to 0 .. last. The phase can land a rounding step past the
// period (or, after a restart, marginally below 0); NaN reads the first sample.
int TableIndex(double x, int last) {
  if (!(x >= 0)) return 0;
  if (x >= last) return last;
  return static_cast<int>(x);
}

}  // namespace

double _IEC227Value(int k, double h) {
  if (k < 0 || k >= kIEC227Count) return 0.0;
  const int i = TableIndex(h * kIEC227Rate, kIEC227Samples[k] - 1);
  return IEC227W[k * kIEC227Length + i] / 1000.0;
}

double _IEC251Value(int k, double h) {
  if (k < 0 || k >= kIEC251Count) return 0.0;
  const int i = TableIndex(h * kIEC251Rate, kIEC251Length - 1);
  return IEC251W[k * kIEC251Length + i] / 1000.0;
}

}  // namespace orna
