// The embedded IEC 60601-2-27 table against its source recordings and stated
// properties, and the sample lookup of output function 8.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "data/iec_tables.h"
#include "support/files.h"

using namespace orna;

namespace {

std::vector<std::int32_t> ReadRecording(int k) {
  const std::string path = orna::test::SourceRoot() + "data/iec60601-2-27/wave" + std::to_string(k) + ".txt";
  std::ifstream f(path);
  EXPECT_TRUE(f) << "cannot open " << path;
  std::vector<std::int32_t> v;
  for (long x; f >> x;) v.push_back(static_cast<std::int32_t>(x));
  return v;
}

std::int32_t At(int k, int i) { return IEC227W[k * kIEC227Length + i]; }

}  // namespace

TEST(IEC227Table, RecordingsZeroFilledWithNearestDoublePeriods) {
  const int n[kIEC227Count] = {43081, 43142, 43144, 34511, 65211, 65214, 65207, 65238, 65239, 65237};
  const double period[kIEC227Count] = {59.834722222222226, 59.919444444444444, 59.922222222222224,
                                       47.93194444444445,  90.57083333333334,  90.575,
                                       90.56527777777778,  90.60833333333333,  90.60972222222222,
                                       90.60694444444445};
  for (int k = 0; k < kIEC227Count; ++k) {
    SCOPED_TRACE("waveform " + std::to_string(k));
    const std::vector<std::int32_t> rec = ReadRecording(k);
    ASSERT_EQ(static_cast<int>(rec.size()), n[k]);
    EXPECT_EQ(kIEC227Samples[k], n[k]);
    EXPECT_EQ(IEC227WL[k], period[k]);
    const bool zeroFirst = (k == 5 || k == 6 || k == 8 || k == 9);
    EXPECT_EQ(At(k, 0), zeroFirst ? 0 : rec[0]);
    EXPECT_NE(rec[0], 0);  // so the zeroing above is a real change
    int differ = 0, fill = 0;
    for (int i = 1; i < n[k]; ++i) differ += (At(k, i) != rec[i]);
    for (int i = n[k]; i < kIEC227Length; ++i) fill += (At(k, i) != 0);
    EXPECT_EQ(differ, 0);
    EXPECT_EQ(fill, 0);
  }
  EXPECT_EQ(kIEC227Length - kIEC227Samples[8], 761);
}

TEST(IEC227Table, RangesFirstSamplesAndMedians) {
  const int lo[kIEC227Count] = {-531, -415, -715, -338, -775, -1550, -388, -1512, -3025, -756};
  const int hi[kIEC227Count] = {608, 1038, 515, 708, 750, 1050, 787, 662, 1325, 606};
  for (int k = 0; k < kIEC227Count; ++k) {
    std::vector<std::int32_t> w(IEC227W + k * kIEC227Length, IEC227W + k * kIEC227Length + kIEC227Samples[k]);
    std::sort(w.begin(), w.end());
    EXPECT_EQ(w.front(), lo[k]) << "waveform " << k;
    EXPECT_EQ(w.back(), hi[k]) << "waveform " << k;
    if (k == 7 || k == 8) {
      const std::size_t m = w.size() / 2;
      EXPECT_EQ(w[m - 1], w[m]) << "waveform " << k;
      EXPECT_EQ(w[m], k == 7 ? -487 : -900) << "waveform " << k;
    }
  }
  EXPECT_EQ(std::vector<std::int32_t>(IEC227W, IEC227W + 5), (std::vector<std::int32_t>{185, 185, 169, 185, 185}));
  EXPECT_EQ(At(4, 31), 750);
}

TEST(IEC227Lookup, ReadsTruncHTimes720AndStaysInsideTheWaveform) {
  EXPECT_EQ(_IEC227Value(0, 2.5 / 720), 0.169);
  EXPECT_EQ(_IEC227Value(4, 31.5 / 720), 0.75);
  EXPECT_EQ(_IEC227Value(4, 31.5 / 720 + 0.75), 0.75);  // the beat recurs every 540 samples
  EXPECT_EQ(_IEC227Value(4, 32.0 / 720), At(4, 32) / 1000.0);
  EXPECT_NE(At(4, 32), 750);
  EXPECT_EQ(_IEC227Value(8, std::nextafter(IEC227WL[8], 0.0)), 0.7);  // element 65 238

  // At or past the period (index N and beyond, where the zero fill starts)
  // every waveform reads its element N-1.
  for (int k = 0; k < kIEC227Count; ++k) {
    const double last = At(k, kIEC227Samples[k] - 1) / 1000.0;
    ASSERT_NE(last, 0.0) << "waveform " << k;
    for (double h : {IEC227WL[k], IEC227WL[k] + 0.5, 1e300, std::numeric_limits<double>::infinity()})
      EXPECT_EQ(_IEC227Value(k, h), last) << "waveform " << k << " h " << h;
  }
  // Negative or NaN phases read element 0 of the same waveform (an unguarded
  // index would land in waveform 0's zero fill).
  const double first = At(1, 0) / 1000.0;
  ASSERT_NE(At(1, 0), 0);
  for (double h : {-0.5 / 720, -3.0, -std::numeric_limits<double>::infinity(), std::nan("")})
    EXPECT_EQ(_IEC227Value(1, h), first) << h;
  for (int k : {-1, 10, 11, INT_MIN, INT_MAX}) EXPECT_EQ(_IEC227Value(k, 31.5 / 720), 0.0) << k;
}
