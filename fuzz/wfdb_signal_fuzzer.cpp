// WFDB signal files of any bytes. The first byte picks the format, the next
// the signals in the file (1..4) and their samples per frame (1..4), then a
// byte offset (0..15); the rest is the file. Checked: a defined result, every
// signal with the same number of frames, whole frames only, and each sample
// within its format's width (format 8's sums within 32 bits).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "records/wfdb_signal.h"

namespace {

constexpr int kFormats[] = {8, 16, 24, 32, 61, 80, 160, 212, 310, 311};

ORNA_FUZZ_HARNESS int Bits(int format) {
  switch (format) {
    case 80: return 8;
    case 16: case 61: case 160: return 16;
    case 24: return 24;
    case 212: return 12;
    case 310: case 311: return 10;
    default: return 32;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orna::records;
  orna::fuzz::Input in{data, size};
  const int format = kFormats[in.Byte() % 10];
  const std::uint8_t shape = in.Byte();
  const std::uint8_t offset = in.Byte();
  std::vector<SignalSpec> group(1 + (shape & 3));
  std::size_t frame = 0;
  for (std::size_t i = 0; i < group.size(); ++i) {
    group[i].format = format;
    group[i].samples_per_frame = 1 + ((shape >> (2 + i)) & 1) * 3;
    group[i].byte_offset = offset & 15;
    group[i].initial_value = static_cast<std::int8_t>(offset);
    frame += static_cast<std::size_t>(group[i].samples_per_frame);
  }
  std::vector<std::vector<std::int32_t>> out;
  std::string error;
  if (!DecodeSignalFile(group, in.p, in.left, -1, &out, &error)) std::abort();
  if (out.size() != group.size()) std::abort();
  const std::size_t frames = out[0].size() / static_cast<std::size_t>(group[0].samples_per_frame);
  const long long lo = -(1LL << (Bits(format) - 1)), hi = (1LL << (Bits(format) - 1)) - 1;
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (out[i].size() != frames * static_cast<std::size_t>(group[i].samples_per_frame)) std::abort();
    for (std::int32_t v : out[i])
      if (v != kInvalidSample && (v < lo || v > hi)) std::abort();
  }
  // At least one byte per sample but for the packed formats: whole frames only.
  if (format != 212 && format != 310 && format != 311 && frames * frame > in.left) std::abort();
  // Asking for one frame more than there is is refused.
  if (DecodeSignalFile(group, in.p, in.left, static_cast<long long>(frames) + 1, &out, &error)) std::abort();
  return 0;
}
