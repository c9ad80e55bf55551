// WFDB signal files: the samples of formats 8, 16, 24, 32, 61, 80, 160, 212,
// 310 and 311, several signals interleaved frame by frame.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wfdb_header.h"

namespace orna::records {

// A sample the file marks as missing (each format's lowest code).
constexpr std::int32_t kInvalidSample = INT32_MIN;

// Decodes the samples of one signal file. `group`: the header's lines that
// name this file, in order (one format for all). `frames`: how many to read,
// -1 for every whole frame the data holds. `data` starts at the file's first
// byte (the byte offset is skipped here). out[i]: signal i's samples, ADC
// units, format 8 already summed from its initial value. False with *error
// when the formats differ or the data holds fewer frames than asked.
bool DecodeSignalFile(const std::vector<SignalSpec>& group, const std::uint8_t* data, std::size_t size,
                      long long frames, std::vector<std::vector<std::int32_t>>* out, std::string* error);

}  // namespace orna::records
