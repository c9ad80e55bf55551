// Relay and range control: one 24-bit relay word for the analogue front end,
// sent only when it differs from the word computed before, and the output range.
#include "control/relays.h"

#include "control/apply.h"
#include "control/bounds.h"
#include "generator/pacing.h"
#include "generator/settings.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "orna.h"

namespace orna {

int s_K = 0;

std::uint32_t _RelayWord() {
  std::uint32_t w = g_InputImpedance ? 0u : 0x0002u;
  if (g_DCVariable) {
    w |= 0x0001u;
  } else if (g_DCSetting != 0) {
    // In fixed mode the relays only tell 0, exactly 300 mV and anything else apart.
    w |= 0x0004u;
    if (g_DCCommon) w |= 0x0008u;
    if (g_DCSetting == 300) w |= 0x0010u;
  }
  if (s_ECGGoing) {
    // Pacing needs the front end to itself: impedance and offset relays drop out.
    if (s_PulsesRequired > 0) w = s_PacingHighRange ? 0x0001u : 0u;
    if (g_BaseLineOverload != 0) w |= 0x0001u;
  }
  const unsigned leads = static_cast<unsigned>(g_OutputLead);
  if (leads & 0x1u) w |= 0x0020u;
  if (leads & 0x2u) w |= 0x0040u;
  // Bit 7 is unused: leads 2 to 8 sit on bits 8 to 14.
  for (int n = 2; n <= 8; ++n) {
    if (leads & (1u << n)) w |= 1u << (n + 6);
  }
  return w;
}

void _SetRelaysV4() {
  const std::uint32_t w = _RelayWord();
  const int old = s_K;
  // Recorded even when nothing can be sent, so the comparison base is the last
  // word computed, not the last word the instrument received.
  s_K = static_cast<int>(w);
  if (static_cast<int>(w) == old) return;
  if (g_hFile.load() != -1) _SendRelayCommand(w);
}

void _UpdateRange() {
  s_Range = g_RangeV4Ch2Off;
  if (g_hFile.load() != -1) _SendRangeCommand(g_RangeV4Ch2Off);
}

}  // namespace orna

using namespace orna;

extern "C" {

int SetOutputLead(int lead, bool on) noexcept {
  ExportLock lock;
  if (_NoPort()) return -1;
  // Only 32 bits exist to shift into: other numbers are refused.
  if (lead < 0 || lead > 31) return -2;
  const unsigned mask = 1u << lead;
  unsigned leads = static_cast<unsigned>(g_OutputLead);
  if (((leads & mask) != 0) == on) return 0;
  leads ^= mask;
  g_OutputLead = static_cast<int>(leads);
  _SetRelaysV4();
  return 0;
}

int SetInputImpedanceMode(bool on) noexcept {
  return _CheckedSet(g_InputImpedance, on, _AnyValue<bool>, _SetRelaysV4);
}

int SetDCOffsetCommoneMode(bool on) noexcept {
  return _CheckedSet(g_DCCommon, on, _AnyValue<bool>, _SetRelaysV4);
}

}  // extern "C"
