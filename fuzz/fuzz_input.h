// The fuzzer's input, taken byte by byte from the front.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orna::fuzz {

struct Input {
  const std::uint8_t* p;
  std::size_t left;
  // The next byte, or 0 once the input has run out.
  std::uint8_t Byte() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
};

}  // namespace orna::fuzz
