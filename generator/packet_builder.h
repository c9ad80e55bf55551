// Packet builder and timebase.
#pragma once

#include <cstdint>

#include "orna.h"

namespace orna {

constexpr int kPacketSize = 3200;
constexpr int kFramesPerPacket = 50;
constexpr int kSamplesPerFrame = 30;
constexpr int kFrameSize = 64;
constexpr int kSamplesPerPacket = kFramesPerPacket * kSamplesPerFrame;
constexpr int kEndMarkerOffset = 322;  // byte 2 of frame 5: 'E'

extern double s_t;    // waveform time, s
extern double s_tg;   // graph time, s (never wrapped)
extern double s_tp;   // period, s
extern double s_Fd;   // scan step of g_F per sample, Hz
extern std::uint8_t s_SeqCheck;  // frame sequence counter

extern ORNA_TimeAmpCB g_GraphCB;
extern ORNA_TimeAmpCB g_PacingGraphCB;
extern ORNA_SyncFreqCB g_SyncFreqCB;
extern ORNA_SyncMainFuncCB g_SyncMainFuncCB;

// Phase inside the current period: s_t - s_tp * trunc(s_t / s_tp), without
// the 32-bit overflow of an integer truncation on long runs.
double _Phase(double t, double tp);

// Encodes one sample value into its two-byte word.
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
