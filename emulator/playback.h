// Sample packet decoding and frame header checks.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/virtual_instrument.h"
#include "link/protocol.h"

namespace orna::emu {

constexpr std::size_t kPacketBytes = kSamplePacketLength;
constexpr std::size_t kFrameBytes = 64;
constexpr std::size_t kFrames = 50;
constexpr std::size_t kWordsPerFrame = 30;
constexpr std::size_t kSamplesPerPacket = kFrames * kWordsPerFrame;
constexpr int kDefaultRange = 5;  // full scale in mV until a range command arrives

// Code and flags of one sample word.
Sample DecodeWord(std::uint8_t b0, std::uint8_t b1);

// Millivolts of a decoded sample: 2 codes per mV on the high range (range flag
// without a baseline reset in force), otherwise ±2000 codes for ±range mV.
double Millivolts(const Sample& s, int range, bool baseline_reset);

struct SequenceGap {
  std::uint8_t expected;
  std::uint8_t received;
};

struct PacketFaults {
  std::uint64_t header_errors = 0;  // frames with a bad byte 0, 2 or 3
  std::vector<SequenceGap> gaps;    // frames whose number broke the sequence
};

// Follows the frame sequence across the packets of one stream.
class SequenceCheck {
 public:
  PacketFaults check(const Bytes& packet);
  // A new stream may begin with any frame number.
  void restart() { valid_ = false; }

 private:
  bool valid_ = false;
  std::uint8_t expected_ = 0;
};

}  // namespace orna::emu
