// The waveform loaded from a file, played by output function 13.
#pragma once

namespace orna {

extern double* ECGFile;     // samples in microvolts, null until loaded
extern int ECGFileSize;     // number of valid samples
extern double ECGFileFreq;  // samples per second

// Value in mV for phase h; 0 without a loaded waveform; never reads outside it.
double _ECGFileValue(double h);

}  // namespace orna
