// Construction of the six IEC 60601-2-51 test beats (build-time tool only).
#pragma once

#include <cstdint>
#include <vector>

namespace tablegen {

constexpr int kIEC251Count = 6;
constexpr int kIEC251Length = 1000;

// The six beats, waveform-major, in integer microvolts (6 x 1000 elements).
std::vector<std::int32_t> BuildIEC251();

}  // namespace tablegen
