// Relay and range control.
#pragma once

#include <cstdint>

namespace orna {

extern int s_K;  // relay word computed last

// The relay word for the current settings and streaming state (pure).
std::uint32_t _RelayWord();
// Recomputes the relay word; sends the relay command when it changed.
void _SetRelaysV4();
// s_Range = g_RangeV4Ch2Off; sends the range command.
void _UpdateRange();

}  // namespace orna
