#include "emulator/playback.h"

namespace orna::emu {

Sample DecodeWord(std::uint8_t b0, std::uint8_t b1) {
  Sample s;
  s.code = static_cast<std::uint16_t>(((b0 & 0x0F) << 8) | b1);
  s.range_flag = (b0 & 0x40) != 0;
  s.half_step = (b0 & 0x80) != 0;
  return s;
}

double Millivolts(const Sample& s, int range, bool baseline_reset) {
  const double offset = static_cast<double>(s.code) - 2048.0;
  if (s.range_flag && !baseline_reset) return offset / 2.0;
  return offset / 2000.0 * range;
}

std::vector<Sample> DecodePacket(const Bytes& packet) {
  std::vector<Sample> out;
  const std::size_t frames = packet.size() / kFrameBytes;  // whole frames only
  out.reserve(frames * kWordsPerFrame);
  for (std::size_t f = 0; f < frames; ++f) {
    const std::uint8_t* w = packet.data() + f * kFrameBytes + 4;
    for (std::size_t j = 0; j < kWordsPerFrame; ++j) out.push_back(DecodeWord(w[2 * j], w[2 * j + 1]));
  }
  return out;
}

PacketFaults SequenceCheck::check(const Bytes& packet) {
  PacketFaults faults;
  const std::size_t frames = packet.size() / kFrameBytes;
  for (std::size_t f = 0; f < frames; ++f) {
    const std::uint8_t* h = packet.data() + f * kFrameBytes;
    const std::uint8_t marker = f == 5 ? 'E' : 0x00;
    if (h[0] != 0x01 || h[2] != marker || h[3] != 0x00) ++faults.header_errors;
    if (valid_ && h[1] != expected_) faults.gaps.push_back({expected_, h[1]});
    expected_ = static_cast<std::uint8_t>(h[1] + 1);
    valid_ = true;
  }
  return faults;
}

}  // namespace orna::emu
