// Timebase: the sample clock and the layout of a sample packet. The lowest
// header of generator/; everything that reads the waveform time includes it.
#pragma once

#include <cmath>

namespace orna {

constexpr int kPacketSize = 3200;
constexpr int kFramesPerPacket = 50;
constexpr int kSamplesPerFrame = 30;
constexpr int kFrameSize = 64;
constexpr int kSamplesPerPacket = kFramesPerPacket * kSamplesPerFrame;
constexpr int kEndMarkerOffset = 322;  // byte 2 of frame 5: 'E'

constexpr double kSampleStep = 0.0002;  // s: 5000 samples per second
constexpr double kHalfStep = 0.0001;    // s: the last tick of an odd-length pacing pulse

extern double s_t;    // waveform time, s
extern double s_tg;   // graph time, s (never wrapped)
extern double s_tp;   // period, s
extern double s_Fd;   // scan step of g_F per sample, Hz

// Phase inside the current period: s_t - s_tp * trunc(s_t / s_tp), without
// the 32-bit overflow of an integer truncation on long runs. Inline: it runs
// for every sample.
inline double _Phase(double t, double tp) {
  if (!(tp > 0.0)) return 0.0;  // no usable period yet
  const double q = t / tp;
  if (!std::isfinite(q)) return 0.0;
  // Truncating in double keeps the result of a 32-bit truncation wherever that
  // one is defined, and stays right beyond 2^31 periods.
  const double k = std::trunc(q);
  if (k == 0.0) return t;  // also covers an infinite period
  return t - tp * k;
}

}  // namespace orna
