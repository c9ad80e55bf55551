// Packet builder: one sample packet per request of the instrument.
#include "generator/packet_builder.h"

#include <cmath>

// The one include of generator/ from control/, and the only upward one: the
// apply engine builds the first packet, and the packet builder in turn runs a
// change deferred to the end of the waveform cycle, which only it can see.
#include "control/apply.h"
#include "generator/output_functions.h"
#include "generator/pacing.h"
#include "generator/settings.h"
#include "generator/timebase.h"
#include "link/link_status.h"
#include "link/serial_port.h"

namespace orna {

std::uint8_t s_SeqCheck;

namespace {

constexpr unsigned char kFrameStart = 0x01;
constexpr unsigned char kEndMarker = 0x45;  // 'E'
constexpr unsigned char kRangeFlag = 0x40;
constexpr unsigned char kHalfStepFlag = 0x80;
constexpr int kMaxCode = 4095;
constexpr int kZeroCode = 2048;

// The four corners of the 10 ms rectangle that marks a pacing pulse on the
// host's graph. The pointer is read before every call: a callback may
// unregister itself.
void ReportPacingPulse() {
  const double t = s_tg;
  const double corners[4][2] = {{t, 0.0}, {t, g_PA}, {t + 0.01, g_PA}, {t + 0.01, 0.0}};
  for (const auto& corner : corners) {
    if (g_PacingGraphCB != nullptr) g_PacingGraphCB(corner[0], corner[1]);
  }
  s_PacingIndicationNeeded = false;
}

// Keeps the position inside the cycle while the scan moves the period.
void ScanStep() {
  const double q = s_tp > 0.0 ? s_t / s_tp : 0.0;
  g_F = g_F + s_Fd;
  // A scan cannot bring the frequency to zero with accepted settings; should
  // it ever, the period stays as it was instead of becoming infinite.
  if (g_F > 0.0) s_tp = 1 / g_F;
  s_t = (q - std::trunc(q)) * s_tp;
}

// The one clamp of a sample code: truncated into 0..4095; not a number (e.g.
// 0 / 0) is sent as 0 mV.
inline int ClampCode(double x) {
  if (std::isnan(x)) return kZeroCode;
  if (x > kMaxCode) return kMaxCode;
  if (x < 0) return 0;
  return static_cast<int>(x);
}

}  // namespace

void _EncodeSample(double v, bool high_range, bool range_flag, bool half_step,
                   unsigned char out[2]) {
  const double range = s_Range;
  double x;
  if (high_range) {
    x = v * 2 + 2048;
  } else if (range != 0.0) {
    x = v / range * 2000 + 2048;
  } else {
    // The full scale comes from host-writable range values: a zero one
    // saturates by sign instead of dividing.
    x = v > 0 ? kMaxCode + 1 : (v < 0 ? -1 : kZeroCode);
  }
  const int code = ClampCode(x);
  unsigned char b0 = static_cast<unsigned char>(code >> 8);
  if (high_range || range_flag) b0 |= kRangeFlag;
  if (half_step) b0 |= kHalfStepFlag;
  out[0] = b0;
  out[1] = static_cast<unsigned char>(code & 0xFF);
}

void _BuildPacket(unsigned char packet[kPacketSize]) {
  for (int k = 0; k < kFramesPerPacket; ++k) {
    unsigned char* frame = packet + k * kFrameSize;
    frame[0] = kFrameStart;
    frame[1] = s_SeqCheck;
    frame[2] = 0x00;
    frame[3] = 0x00;
    s_SeqCheck = static_cast<std::uint8_t>(s_SeqCheck + 1);

    for (int j = 0; j < kSamplesPerFrame; ++j) {
      const double h = _Phase(s_t, s_tp);
      double v = _OutputValue(h, s_t);

      s_PacingHighRangeNeeded = false;
      s_PacingShortPulseNeeded = false;
      if (s_PulsesRequired > 0) _GetPacingV4(v);
      // Kept apart from the globals: a callback below may run the apply engine
      // or even a nested packet, which rewrites them.
      const bool high_range = s_PacingHighRangeNeeded;
      const bool half_step = s_PacingShortPulseNeeded;

      if (j == 0 && g_GraphCB != nullptr) {
        g_GraphCB(s_tg, v);
        if (g_PacingGraphCB != nullptr && s_PacingIndicationNeeded) ReportPacingPulse();
      }

      // s_Range is read per sample: a callback or the apply engine may change it.
      _EncodeSample(v, high_range, g_BaseLineOverload != 0, half_step, frame + 4 + 2 * j);

      const double step = half_step ? kHalfStep : kSampleStep;
      s_t += step;
      s_tg += step;

      if (s_FreqScanOn) ScanStep();

      if (s_ChangeOnNextCycle && (s_tp - h < 0.0004 || g_F < 0.15)) {
        s_ChangeOnNextCycle = false;
        // Inside the engine's first packet the change is applied when the
        // engine finishes instead of being lost.
        _ApplyAtOnce();
      }
    }
  }
  packet[kEndMarkerOffset] = kEndMarker;
}

#if defined(ORNA_FUZZING)
void (*_SendNextPacketStandIn)() = nullptr;
#endif

void _SendNextPacket() {
#if defined(ORNA_FUZZING)
  if (_SendNextPacketStandIn != nullptr) {
    _SendNextPacketStandIn();
    return;
  }
#endif
  // Local to the call: a callback that restarts streaming builds its own
  // packet inside this one without overwriting it.
  unsigned char packet[kPacketSize];
  _BuildPacket(packet);
  if (g_hFile != -1 && _WriteCOMPort(kPacketSize, packet) == kPacketSize) {
    _CountLink(s_Link.packets);
  }

  if (!s_FreqScanOn) return;
  if (g_SyncFreqCB != nullptr) g_SyncFreqCB(g_F);
  const double r = std::floor(g_F * 100000 + 0.5) / 100000;
  if (r >= g_Ffinal || r <= g_Fstart) {
    if (g_FreqScan1) SetFreqScanSine(false, g_Fstart, g_Ffinal, g_Fduration);
    if (g_FreqScan3) SetFreqScanECG(false);
  }
}

}  // namespace orna
