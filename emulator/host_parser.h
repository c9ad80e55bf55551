// Splits the host's byte stream into messages by first byte and fixed length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "emulator/virtual_instrument.h"

namespace orna::emu {

// Kind of the host message that begins with `first` (Unknown for any byte
// that begins none).
Kind KindOf(std::uint8_t first);
// Fixed length of a host message of this kind, first byte included.
std::size_t LengthOf(Kind kind);

class HostParser {
 public:
  // Appends bytes as they arrive and returns the messages they complete, in
  // order. A message may be split over any number of calls.
  std::vector<std::pair<Kind, Bytes>> feed(const std::uint8_t* data, std::size_t n);
  // Bytes of an incomplete message waiting for the rest.
  std::size_t pending() const { return buf_.size(); }
  void reset() { buf_.clear(); }

 private:
  Bytes buf_;
};

}  // namespace orna::emu
