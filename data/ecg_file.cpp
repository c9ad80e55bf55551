#include "data/ecg_file.h"

namespace orna {

double* ECGFile = nullptr;
int ECGFileSize = 0;
double ECGFileFreq = 0.0;

double _ECGFileValue(double h) {
  // Nothing to play (never loaded, a failed allocation, or an empty file): 0 mV.
  if (ECGFile == nullptr || ECGFileSize <= 0) return 0.0;
  const double x = h * ECGFileFreq;
  // trunc(x), kept inside the valid samples: rounding can carry the phase to
  // ECGFileSize, and a reload may shrink the waveform while the old period is
  // still in force; both read the last sample. NaN or negative reads the first.
  int i;
  if (!(x >= 0)) i = 0;
  else if (x >= ECGFileSize - 1) i = ECGFileSize - 1;
  else i = static_cast<int>(x);
  return ECGFile[i] / 1000;
}

}  // namespace orna
