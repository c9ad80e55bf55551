// The constructed IEC 60601-2-51 beats against the properties that define them,
// and the sample lookup of output function 9.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "data/iec_tables.h"

using namespace orna;

namespace {

std::int32_t W(int k, int i) { return IEC251W[k * kIEC251Length + i]; }

const int kP[kIEC251Count] = {75, 150, 150, 300, 150, 150};
const int kQRS[kIEC251Count] = {2500, 5000, 3000, 10000, 1500, 5000};

// round(v * num / den), halves away from zero, in exact integer arithmetic.
std::int64_t ScaleRound(std::int64_t v, std::int64_t num, std::int64_t den) {
  const std::int64_t p = v * num, q = (std::llabs(p) * 2 + den) / (2 * den);
  return p < 0 ? -q : q;
}

}  // namespace

TEST(IEC251Table, TimingPeaksAndSymmetricHumps) {
  for (int k = 0; k < kIEC251Count; ++k) {
    SCOPED_TRACE("waveform " + std::to_string(k));
    const int t = kQRS[k] / 5;  // T peak = 0.2 x QRS peak
    for (int i = 0; i < kIEC251Length; ++i) {
      const bool inWave = (i >= 3 && i <= 115) || (i >= 180 && i <= 278) || (i >= 382 && i <= 576);
      EXPECT_TRUE(inWave || W(k, i) == 0) << "sample " << i;
    }
    EXPECT_EQ(W(k, 59), kP[k]);
    EXPECT_EQ(W(k, 203), kQRS[k]);
    EXPECT_EQ(W(k, 247), -kQRS[k]);
    EXPECT_EQ(W(k, 479), t);
    EXPECT_LT(W(k, 202), kQRS[k]);   // reached first at 203 ...
    EXPECT_GT(W(k, 246), -kQRS[k]);  // ... and at 247
    // P and T: positive over their whole span, symmetric, rising to the peak,
    // starting small (smooth, not a box).
    for (int d = 1; d <= 97; ++d) {
      if (d <= 56) {
        EXPECT_EQ(W(k, 59 - d), W(k, 59 + d)) << "P at distance " << d;
        EXPECT_GT(W(k, 59 - d), 0) << "P at distance " << d;
        EXPECT_LE(W(k, 59 - d), W(k, 60 - d)) << "P at distance " << d;
      }
      EXPECT_EQ(W(k, 479 - d), W(k, 479 + d)) << "T at distance " << d;
      EXPECT_GT(W(k, 479 - d), 0) << "T at distance " << d;
      EXPECT_LE(W(k, 479 - d), W(k, 480 - d)) << "T at distance " << d;
    }
    EXPECT_LT(W(k, 3), kP[k] / 10);
    EXPECT_LT(W(k, 382), t / 10);
    EXPECT_GT(W(k, 31), kP[k] / 3);
    EXPECT_GT(W(k, 431), t / 3);
    // QRS: non-zero at both ends, monotone up to 203, down 210..247, up to 278.
    EXPECT_NE(W(k, 180), 0);
    EXPECT_NE(W(k, 278), 0);
    for (int i = 180; i < 278; ++i) {
      if (i < 203 || i >= 247) {
        EXPECT_LE(W(k, i), W(k, i + 1)) << i;
      } else if (i >= 210) {
        EXPECT_GE(W(k, i), W(k, i + 1)) << i;
      }
    }
  }
}

TEST(IEC251Table, WaveformZeroThroughTheQRSPointsOthersScaledFromIt) {
  const int x[] = {180, 190, 200, 203, 210, 220, 230, 240, 247, 260, 270, 278};
  const int y[] = {4, 1125, 2406, 2500, 2500, 2025, -225, -2281, -2500, -2344, -675, -4};
  for (int j = 0; j < 12; ++j) {
    EXPECT_EQ(W(0, x[j]), y[j]) << "sample " << x[j];
    // No overshoot: between two points the curve stays within their values.
    for (int i = x[j]; j < 11 && i <= x[j + 1]; ++i) {
      EXPECT_GE(W(0, i), std::min(y[j], y[j + 1])) << i;
      EXPECT_LE(W(0, i), std::max(y[j], y[j + 1])) << i;
    }
  }
  for (int i = 0; i < kIEC251Length; ++i) EXPECT_EQ(W(1, i), W(5, i)) << "sample " << i;
  for (int k = 1; k < kIEC251Count; ++k) {
    for (int i = 0; i < kIEC251Length; ++i) {
      const std::int64_t expected = i < 180 ? ScaleRound(W(0, i), kP[k], 75) : ScaleRound(W(0, i), kQRS[k], 2500);
      EXPECT_EQ(W(k, i), expected) << "waveform " << k << " sample " << i;
    }
  }
}

TEST(IEC251Lookup, ReadsTruncHTimes1000AndStaysInsideTheWaveform) {
  EXPECT_EQ(_IEC251Value(0, 0.203), 2.5);
  EXPECT_EQ(_IEC251Value(0, 0.247), -2.5);
  EXPECT_EQ(_IEC251Value(3, 0.2475), -10.0);
  EXPECT_EQ(_IEC251Value(4, 0.4795), 0.3);
  EXPECT_EQ(_IEC251Value(2, 0.0595), 0.15);
  for (double h = 0.577; h < 1.0; h += 0.0002) ASSERT_EQ(_IEC251Value(0, h), 0.0) << h;
  // An index carried to 1000 or beyond reads element 999 of the same waveform
  // (not the next one's P or QRS); a negative or NaN phase reads element 0
  // (not the previous waveform's P wave).
  for (double h : {1.0, 1.059, 1.203, 1e300, std::numeric_limits<double>::infinity()})
    EXPECT_EQ(_IEC251Value(0, h), 0.0) << h;
  for (double h : {-0.9, -0.941, std::nan("")}) EXPECT_EQ(_IEC251Value(1, h), 0.0) << h;
  for (int k : {-1, 6, 7, INT_MIN, INT_MAX}) EXPECT_EQ(_IEC251Value(k, 0.203), 0.0) << k;
}
