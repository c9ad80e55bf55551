// Pacing pulses: set-up from the settings, pulse start, per-sample shape.
#include "generator/pacing.h"

#include <climits>
#include <cmath>

#include "generator/output_functions.h"
#include "generator/pacing_internal.h"
#include "generator/settings.h"
#include "generator/timebase.h"

namespace orna {

int s_PulsesRequired;
bool s_PacingHighRange = true;

bool s_PacingHighRangeNeeded;
bool s_PacingShortPulseNeeded;
bool s_PacingIndicationNeeded;

namespace {

PacingState s_Pacing;

constexpr double kTicksPerSecond = 10000.0;  // ticks of 0.1 ms, half a sample
constexpr double kHighRangeFrom = 2.5;       // mV: larger pulses replace the waveform
constexpr double kStartWindow = 0.000205;    // s: a pulse starts within one sample
constexpr double kLatchRelease = 0.01;       // s

// Ticks counted between pulses saturate long before the integer would wrap
// (the count never restarts while a scan keeps the waveform time below one
// period); the overshoot has long decayed to nothing by then.
constexpr int kTickCountLimit = INT_MAX - 2;

void AdvanceTicks(int ticks) {
  if (s_Pacing.s_ppc < kTickCountLimit) s_Pacing.s_ppc += ticks;
}

// Pulse width in ticks: trunc(g_PacingDuration / 1000 * 10000), in this
// order. The setting is read every sample but changes rarely; the division is
// repeated only when it did.
double PulseTicks() {
  static bool known = false;
  static double duration = 0.0;
  static double ticks = 0.0;
  if (!known || !(g_PacingDuration == duration)) {
    known = true;
    duration = g_PacingDuration;
    ticks = std::trunc(duration / 1000 * kTicksPerSecond);
  }
  return ticks;
}

}  // namespace

PacingState& _PacingStateForTesting() { return s_Pacing; }

void _SetupPacing() {
  s_PulsesRequired = 0;
  s_PacDelayTP = 0;
  if (g_PA == 0) return;
  s_PulsesRequired = g_PacingPulse != 0 ? 2 : 1;
  s_Pacing.s_OTC = g_PacingOvershootTC / 1000.0;
  const double p = -(g_PA * 0.25);
  s_Pacing.s_POA = p > 2 ? 2 : (p < -2 ? -2 : p);
  s_Pacing.s_ppc = 1000;
  s_PacingHighRange = std::fabs(g_PA) >= 3;
  s_PacDelayTP = 0.01;
  // The rate setter accepts 10 to 300 per minute; anything else gives the
  // slowest rhythm instead of a division by zero.
  s_Pacing.s_pp = g_PacingRate > 0 ? 60.0 / g_PacingRate : 6.0;
}

void _CheckIfPacingPulseNeeded(double offset) {
  if (!(s_Pacing.s_pp > 0.0)) return;  // not set up
  const double t = s_t + offset;
  // Truncated in double: no 32-bit overflow however long the waveform runs.
  const double k = std::trunc(t / s_Pacing.s_pp + 0.000001);
  const double r = t - s_Pacing.s_pp * k;
  if (r > kLatchRelease) {
    s_Pacing._PacingPulseTriggered = false;
    return;
  }
  if (s_Pacing._PacingPulseTriggered) return;
  if (r < kStartWindow) {
    s_Pacing._PacingPulseTriggered = true;
    s_Pacing.s_ppc = 0;
    s_PacingIndicationNeeded = true;
  }
}

void _GetPacingV4(double& value) {
  s_PacingHighRangeNeeded = false;
  s_PacingShortPulseNeeded = false;

  _CheckIfPacingPulseNeeded(0.02);
  if (g_PacingPulse == 1) {
    _CheckIfPacingPulseNeeded(0.17);
  } else if (g_PacingPulse == 2) {
    _CheckIfPacingPulseNeeded(0.27);
  }

  const double n = PulseTicks();
  const double remaining = n - s_Pacing.s_ppc;

  if (remaining > 0) {
    if (remaining == 1) {
      AdvanceTicks(1);
      s_PacingShortPulseNeeded = true;  // the last tick of an odd-length pulse
    } else {
      AdvanceTicks(2);
    }
    if (std::fabs(g_PA) < kHighRangeFrom) {
      value = value + g_PA;
    } else {
      value = g_PA;
      s_PacingHighRangeNeeded = true;
      s_Pacing._PacingHighRangeClearingNeeded = true;
    }
    return;
  }

  if (s_Pacing._PacingHighRangeClearingNeeded) {
    // One zero sample on the high range after every high-range pulse.
    s_Pacing._PacingHighRangeClearingNeeded = false;
    value = 0;
    s_PacingHighRangeNeeded = true;
    return;
  }
  if (s_Pacing.s_OTC != 0) {
    value = value + s_Pacing.s_POA * std::exp((remaining / kTicksPerSecond) / s_Pacing.s_OTC);
  }
  AdvanceTicks(2);
}

}  // namespace orna
