// Built-in IEC 60601-2-27 and IEC 60601-2-51 test waveform tables.
#pragma once

#include <cstdint>

namespace orna {

constexpr int kIEC227Count = 10;
constexpr int kIEC227Length = 66000;   // elements per waveform (zero filled)
constexpr double kIEC227Rate = 720.0;
constexpr int kIEC251Count = 6;
constexpr int kIEC251Length = 1000;
constexpr double kIEC251Rate = 1000.0;

extern const std::int32_t* const IEC227W;   // kIEC227Count * kIEC227Length, microvolts
extern const double IEC227WL[kIEC227Count];  // periods, s (N / 720)
extern const std::int32_t* const IEC251W;   // kIEC251Count * kIEC251Length, microvolts

// Table values in mV for phase h; never read outside the tables (an index that
// rounding carries to the end reads the last valid sample; an invalid
// waveform number gives 0).
double _IEC227Value(int k, double h);
double _IEC251Value(int k, double h);

}  // namespace orna
