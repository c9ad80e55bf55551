// Changing a signal's sampling rate (band-limited, high quality).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orna::records {

// `count` samples of the `n` at `in` (sampled at in_rate) at out_rate: out[k] is the
// signal at time k / out_rate, in[0] being at time 0. Past the last input
// sample the signal goes on as the line through its first and last samples.
// False with *error when the resampler refuses.
bool Resample(const double* in, std::size_t n, double in_rate, double out_rate, std::size_t count,
              std::vector<double>* out, std::string* error);

}  // namespace orna::records
