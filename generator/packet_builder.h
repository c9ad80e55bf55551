// Packet builder.
#pragma once

#include <cstdint>

#include "generator/timebase.h"
#include "orna.h"

namespace orna {

extern std::uint8_t s_SeqCheck;  // frame sequence counter

extern ORNA_TimeAmpCB g_GraphCB;
extern ORNA_TimeAmpCB g_PacingGraphCB;
extern ORNA_SyncFreqCB g_SyncFreqCB;
extern ORNA_SyncMainFuncCB g_SyncMainFuncCB;

// Encodes one sample value into its two-byte word: the 12-bit code (high
// range: v * 2 + 2048; else v / s_Range * 2000 + 2048), clamped to 0..4095 and
// truncated, NaN as 2048 (0 mV); the range flag and the half-step flag on top.
void _EncodeSample(double v, bool high_range, bool range_flag, bool half_step,
                   unsigned char out[2]);

// Builds one packet into `packet` (time advances, callbacks fire, deferred
// changes are applied); writes nothing.
void _BuildPacket(unsigned char packet[kPacketSize]);

// Builds one packet, writes it if a port is open, then runs the end-of-scan test.
void _SendNextPacket();

#if defined(ORNA_FUZZING)
// Fuzz builds only: when set, _SendNextPacket calls this instead, so that a
// fuzzer of the receive path counts requests without building packets.
extern void (*_SendNextPacketStandIn)();
#endif

}  // namespace orna
