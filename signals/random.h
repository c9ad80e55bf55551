// The rhythms' random parts: one engine seeded by the request. The draws are
// written out here rather than taken from <random>'s distributions, whose
// results differ between standard libraries: a seed gives the same loop anywhere.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>

namespace orna::signals {

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  double Unit() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }  // [0, 1)
  double Uniform(double lo, double hi) { return lo + (hi - lo) * Unit(); }
  double Normal() {  // Box-Muller
    const double u = 1.0 - Unit();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2 * M_PI * Unit());
  }

 private:
  std::mt19937_64 engine_;
};

}  // namespace orna::signals
