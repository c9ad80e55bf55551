// Unpacks WFDB signal formats into ADC units, byte for byte as the formats
// lay them out (little-endian but format 61).
#include "wfdb_signal.h"

#include <algorithm>

namespace orna::records {

namespace {

std::int32_t SignExtend(std::uint32_t v, int bits) {
  const std::uint32_t sign = 1u << (bits - 1);
  return static_cast<std::int32_t>((v ^ sign)) - static_cast<std::int32_t>(sign);
}

std::uint32_t Le16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }

// The whole samples `size` bytes hold.
std::size_t SamplesIn(int format, std::size_t size) {
  switch (format) {
    case 8: case 80: return size;
    case 16: case 61: case 160: return size / 2;
    case 24: return size / 3;
    case 32: return size / 4;
    case 212: return size / 3 * 2 + (size % 3 == 2);
    case 310: return size / 4 * 3 + (size % 4 >= 2);
    case 311: return size / 4 * 3 + (size % 4 >= 2) + (size % 4 == 3);
    default: return 0;
  }
}

// Sample k of the flat stream (format 8: the difference). The caller has
// checked that its bytes are there.
std::int32_t Sample(int format, const std::uint8_t* d, std::size_t k) {
  switch (format) {
    case 8: return static_cast<std::int8_t>(d[k]);
    case 80: return static_cast<std::int32_t>(d[k]) - 128;
    case 16: return SignExtend(Le16(d + 2 * k), 16);
    case 61: return SignExtend((d[2 * k] << 8) | d[2 * k + 1], 16);
    case 160: return static_cast<std::int32_t>(Le16(d + 2 * k)) - 32768;
    case 24: {
      const std::uint8_t* p = d + 3 * k;
      return SignExtend(p[0] | (p[1] << 8) | (static_cast<std::uint32_t>(p[2]) << 16), 24);
    }
    case 32: {
      const std::uint8_t* p = d + 4 * k;
      return static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
    }
    case 212: {
      // Two samples in three bytes: the second byte's low nibble tops the
      // first sample, its high nibble the second.
      const std::uint8_t* p = d + 3 * (k / 2);
      return k % 2 == 0 ? SignExtend(p[0] | ((p[1] & 0x0Fu) << 8), 12)
                        : SignExtend(p[2] | ((p[1] & 0xF0u) << 4), 12);
    }
    case 310: {
      // Three samples in two 16-bit words: bits 1..10 of each word, then the
      // third from the top five bits of both (the first word's are its low half).
      const std::uint8_t* p = d + 4 * (k / 3);
      switch (k % 3) {
        case 0: return SignExtend((Le16(p) >> 1) & 0x3FF, 10);
        case 1: return SignExtend((Le16(p + 2) >> 1) & 0x3FF, 10);
        default: return SignExtend(((Le16(p) >> 11) & 0x1F) | (((Le16(p + 2) >> 11) & 0x1F) << 5), 10);
      }
    }
    case 311: {
      // Three samples in a 32-bit word, from bit 0 up; the top two bits unused.
      const std::uint8_t* p = d + 4 * (k / 3);
      switch (k % 3) {
        case 0: return SignExtend(p[0] | ((p[1] & 0x03u) << 8), 10);
        case 1: return SignExtend((p[1] >> 2) | ((p[2] & 0x0Fu) << 6), 10);
        default: return SignExtend((p[2] >> 4) | ((p[3] & 0x3Fu) << 4), 10);
      }
    }
    default: return 0;
  }
}

// The code a format writes for "no sample"; format 8 (differences) has none.
bool IsInvalid(int format, std::int32_t v) {
  switch (format) {
    case 80: return v == -128;
    case 16: case 61: case 160: return v == -32768;
    case 212: return v == -2048;
    case 310: case 311: return v == -512;
    case 24: return v == -(1 << 23);
    case 32: return v == INT32_MIN;
    default: return false;
  }
}

}  // namespace

bool DecodeSignalFile(const std::vector<SignalSpec>& group, const std::uint8_t* data, std::size_t size,
                      long long frames, std::vector<std::vector<std::int32_t>>* out, std::string* error) {
  out->clear();
  if (group.empty()) return true;
  const SignalSpec& first = group.front();
  std::size_t frame_size = 0;
  for (const SignalSpec& s : group) {
    if (s.format != first.format) {
      *error = "line " + std::to_string(s.line) + ": " + s.file + " holds format " + std::to_string(first.format) +
               " (line " + std::to_string(first.line) + "), not also " + std::to_string(s.format);
      return false;
    }
    frame_size += static_cast<std::size_t>(s.samples_per_frame);
  }
  const std::size_t offset = static_cast<std::size_t>(std::min<long long>(first.byte_offset, static_cast<long long>(size)));
  data += offset;
  size -= offset;
  const std::size_t held = SamplesIn(first.format, size) / frame_size;
  if (frames < 0) {
    frames = static_cast<long long>(held);
  } else if (static_cast<unsigned long long>(frames) > held) {
    *error = first.file + " holds " + std::to_string(held) + " frames, the header announces " + std::to_string(frames);
    return false;
  }
  out->resize(group.size());
  for (std::size_t i = 0; i < group.size(); ++i)
    (*out)[i].reserve(static_cast<std::size_t>(frames) * static_cast<std::size_t>(group[i].samples_per_frame));
  std::vector<long long> running(group.size());
  for (std::size_t i = 0; i < group.size(); ++i)
    running[i] = std::clamp<long long>(group[i].initial_value, INT32_MIN + 1, INT32_MAX);
  std::size_t k = 0;
  for (long long f = 0; f < frames; ++f) {
    for (std::size_t i = 0; i < group.size(); ++i) {
      for (int j = 0; j < group[i].samples_per_frame; ++j, ++k) {
        std::int32_t v = Sample(first.format, data, k);
        if (first.format == 8) {
          // First differences from the initial value; kept within 32 bits.
          running[i] = std::clamp<long long>(running[i] + v, INT32_MIN + 1, INT32_MAX);
          v = static_cast<std::int32_t>(running[i]);
        } else if (IsInvalid(first.format, v)) {
          v = kInvalidSample;
        }
        (*out)[i].push_back(v);
      }
    }
  }
  return true;
}

}  // namespace orna::records
