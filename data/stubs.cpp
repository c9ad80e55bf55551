// TEMPORARY placeholders so the tree links while the waveform data is written.
#include "data/ecg_file.h"
#include "data/iec_tables.h"
#include "orna.h"
namespace orna {
static const std::int32_t kZero227[1] = {0};
const std::int32_t* const IEC227W = kZero227;
const double IEC227WL[kIEC227Count] = {};
const std::int32_t* const IEC251W = kZero227;
double _IEC227Value(int, double) { return 0; }
double _IEC251Value(int, double) { return 0; }
double* ECGFile;
int ECGFileSize;
double ECGFileFreq;
double _ECGFileValue(double) { return 0; }
}  // namespace orna
extern "C" {
int LoadECGtxt(const char16_t*) { return -1; }
int LoadECGbin(const char16_t*) { return -1; }
}
