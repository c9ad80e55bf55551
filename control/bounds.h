// Argument checks shared by the setters, and the one path of a setter that
// stores a single value.
#pragma once

#include <cmath>

#include "control/scheduling.h"
#include "link/lock.h"
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

// A setter of one value: under the lock, no port gives -1; then `refusal`
// checks the value and the state it depends on in a fixed order and gives the
// code of the first failing check (0: none failed); then the value is stored
// and handed over to `then` (change scheduling unless the setter says otherwise).
template <typename T, typename Refusal>
int _CheckedSet(T& setting, T value, Refusal refusal, void (*then)() = _ChangeRequested) {
  ExportLock lock;
  if (_NoPort()) return -1;
  const int refused = refusal(value);
  if (refused != 0) return refused;
  setting = value;
  then();
  return 0;
}

// Refusal of a value outside inclusive bounds (a NaN too): -2.
template <typename T>
auto _Bounds(T lo, T hi) {
  return [lo, hi](T v) { return _Outside(v, lo, hi) ? -2 : 0; };
}

// No refusal: switches and modes take any value.
template <typename T>
int _AnyValue(T) {
  return 0;
}

}  // namespace orna
