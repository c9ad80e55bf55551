#include "support/instrument_fixture.h"

namespace orna::testing {

std::vector<int> FrameSequence(const std::vector<emu::Bytes>& packets) {
  std::vector<int> seq;
  for (const auto& p : packets)
    for (size_t f = 0; f + 64 <= p.size(); f += 64) seq.push_back(p[f + 1]);
  return seq;
}

}  // namespace orna::testing
