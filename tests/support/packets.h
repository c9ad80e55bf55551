// Sample packets seen from outside the library: frame numbers and sample
// words read out of the bytes, and packets made up byte by byte.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/virtual_instrument.h"

namespace orna::test {

// Byte offset of sample word i (0..1499): 50 frames of 64 bytes, a 4-byte
// header, then 30 two-byte words.
inline int WordOffset(int i) { return 64 * (i / 30) + 4 + 2 * (i % 30); }

// The 12-bit code of sample i of a packet (std::array or byte vector).
template <class Packet>
int Code(const Packet& p, int i) {
  return ((p[WordOffset(i)] & 0x0F) << 8) | p[WordOffset(i) + 1];
}
// The flag bits (0x40 range, 0x80 half step) of sample i.
template <class Packet>
int Flags(const Packet& p, int i) {
  return p[WordOffset(i)] & 0xF0;
}

// Frame sequence numbers of all packets, in order.
inline std::vector<int> FrameSequence(const std::vector<emu::Bytes>& packets) {
  std::vector<int> seq;
  for (const auto& p : packets)
    for (std::size_t f = 0; f + 64 <= p.size(); f += 64) seq.push_back(p[f + 1]);
  return seq;
}

// One sample word as the packet carries it.
struct Word {
  std::uint8_t b0;
  std::uint8_t b1;
};

// A sample packet built independently of the library: frame k carries the
// number first_seq + k, byte 322 is 'E', and `word(i)` gives sample i.
template <class WordOf>
emu::Bytes MakePacket(std::uint8_t first_seq, WordOf word) {
  emu::Bytes p(3200, 0x00);
  for (int k = 0; k < 50; ++k) {
    p[64 * k] = 0x01;
    p[64 * k + 1] = static_cast<std::uint8_t>(first_seq + k);
    for (int j = 0; j < 30; ++j) {
      const Word w = word(k * 30 + j);
      p[64 * k + 4 + 2 * j] = w.b0;
      p[64 * k + 5 + 2 * j] = w.b1;
    }
  }
  p[322] = 'E';
  return p;
}

inline emu::Bytes MidScalePacket(std::uint8_t first_seq) {
  return MakePacket(first_seq, [](int) { return Word{0x08, 0x00}; });
}

}  // namespace orna::test
