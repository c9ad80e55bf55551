// Built-in IEC 60601-2-27 and IEC 60601-2-51 test waveform tables.
#pragma once

#include <cstdint>

// kIEC227Count, kIEC227Length, kIEC227Samples, kIEC251Count, kIEC251Length:
// written by the table generator from the waveform files (data/tables.cmake).
#include "iec_table_sizes.h"

namespace orna {

constexpr double kIEC227Rate = 720.0;
constexpr double kIEC251Rate = 1000.0;

extern const std::int32_t* const IEC227W;   // kIEC227Count * kIEC227Length, microvolts
extern const double IEC227WL[kIEC227Count];  // periods, s (N / 720)
extern const std::int32_t* const IEC251W;   // kIEC251Count * kIEC251Length, microvolts

// Table values in mV for phase h; never read outside the tables (an index that
// rounding carries to the end reads the last valid sample; an invalid
// waveform number gives 0).
//
// _IEC227Value: IEC227W[k * 66000 + trunc(h * 720)] / 1000, the index limited
// to 0 .. N-1 of waveform k (a negative h reads sample 0, h at or past the
// period reads sample N-1, never the zero fill).
// _IEC251Value: IEC251W[k * 1000 + trunc(h * 1000)] / 1000, the index limited
// to 0 .. 999.
// k outside 0..9 (0..5) gives 0.
double _IEC227Value(int k, double h);
double _IEC251Value(int k, double h);

}  // namespace orna
