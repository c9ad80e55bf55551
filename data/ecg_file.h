// The waveform loaded from a file, played by output function 13.
#pragma once

#include <cstdio>

namespace orna {

extern double* ECGFile;     // samples in microvolts, null until loaded
extern int ECGFileSize;     // number of valid samples
extern double ECGFileFreq;  // samples per second

// Value in mV for phase h: ECGFile[trunc(h * ECGFileFreq)] / 1000.
// 0 without a loaded waveform (null ECGFile or ECGFileSize 0); the index is
// limited to 0 .. ECGFileSize-1, so it never reads outside the valid samples.
// The caller holds s_lock.
double _ECGFileValue(double h);

// Largest path, in characters, that the loaders accept.
constexpr int kECGPathMax = 511;

// The loaders after the file is open: read and parse `file` without the
// library's lock, then take it only to install the result. Same results as
// LoadECGtxt and LoadECGbin. The caller closes the file.
int _LoadECGtxtFrom(std::FILE* file);
int _LoadECGbinFrom(std::FILE* file);
// OrnaLoadECGSamples: the text loader's results and state, from memory.
int _LoadECGSamplesFrom(const double* microvolts, int count, double samples_per_second);

}  // namespace orna
