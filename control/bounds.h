// Argument checks shared by the setters.
#pragma once

#include <cmath>

#include "link/serial_port.h"

namespace orna {

// True when no port is open: every setter but the two table selectors refuses then.
inline bool _NoPort() { return g_hFile.load() == -1; }

// Inclusive bounds. A NaN compares false with both bounds and would slip through
// a plain pair of tests, so it is refused explicitly (an infinity fails a bound).
inline bool _Outside(double v, double lo, double hi) {
  return std::isnan(v) || v < lo || v > hi;
}

inline bool _Outside(int v, int lo, int hi) { return v < lo || v > hi; }

}  // namespace orna
