// The fuzzer's input, taken byte by byte from the front.
#pragma once

#include <cstddef>
#include <cstdint>

// For the harness's own code (input reading, models of the expected result):
// its edges and comparisons would only add features that cost every run time
// and guide the fuzzer nowhere.
#define ORNA_FUZZ_HARNESS __attribute__((no_sanitize("coverage")))

namespace orna::fuzz {

struct Input {
  const std::uint8_t* p;
  std::size_t left;
  // The next byte, or 0 once the input has run out.
  ORNA_FUZZ_HARNESS std::uint8_t Byte() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
};

}  // namespace orna::fuzz
