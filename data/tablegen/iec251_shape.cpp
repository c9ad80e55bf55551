// The IEC 60601-2-51 test beats, built from the properties that define them.
//
// There is no published sample list for these beats, only their geometry, so
// the table is constructed here, once per build:
//
//   samples   0 ..   2  zero
//   samples   3 .. 115  P wave, peak at 59
//   samples 116 .. 179  zero
//   samples 180 .. 278  biphasic QRS, +peak at 203 (held up to 210), -peak at 247
//   samples 279 .. 381  zero
//   samples 382 .. 576  T wave, peak at 479
//   samples 577 .. 999  zero
//
// Waveform 0 is built first (P 75 uV, QRS +-2500 uV, T 500 uV):
//  - The QRS is a monotone piecewise-cubic Hermite curve (Fritsch-Carlson
//    slopes) through twelve fixed points. Between two points it never leaves
//    the range of their values, so the +-2500 peaks are never exceeded, the
//    flat stretch 203..210 stays exactly at the peak, and the turning points
//    at 203/210 and 247 have zero slope.
//  - P and T are raised-cosine humps, cos^2(pi/2 * d / W) at distance d from
//    the peak, cut off at the ends of their span. W is chosen so that the hump
//    has fallen to 1 % of its peak at the first and last sample of the span:
//    every sample of the span is then non-zero (even at 75 uV), the shape is
//    smooth and single-humped, and the value depends on |d| only, so it is
//    exactly symmetric about the peak.
// Every other waveform is waveform 0 scaled segment by segment and rounded to
// the nearest integer: QRS and T by QRSpeak / 2500 (so the T peak is always
// 0.2 x the QRS peak), P by Ppeak / 75. Waveforms 1 and 5 have the same
// peaks and are therefore identical.
#include "iec251_shape.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>

namespace tablegen {
namespace {

struct Peaks {
  int p;    // P peak, uV
  int qrs;  // QRS peaks, +/- uV
};

constexpr Peaks kPeaks[kIEC251Count] = {
    {75, 2500}, {150, 5000}, {150, 3000}, {300, 10000}, {150, 1500}, {150, 5000},
};

constexpr int kPCentre = 59, kPHalfSpan = 56;    // samples 3..115
constexpr int kTCentre = 479, kTHalfSpan = 97;   // samples 382..576
constexpr int kQRSFirst = 180, kQRSLast = 278;
constexpr int kP0 = 75, kQRS0 = 2500, kT0 = 500;

struct Knot {
  int x;
  double y;
};
constexpr Knot kQRSKnots[] = {
    {180, 4},     {190, 1125},  {200, 2406},  {203, 2500},  {210, 2500},  {220, 2025},
    {230, -225},  {240, -2281}, {247, -2500}, {260, -2344}, {270, -675},  {278, -4},
};
constexpr int kKnots = sizeof(kQRSKnots) / sizeof(kQRSKnots[0]);

// Raised-cosine hump of unit height, 1 % at distance halfSpan, 0 beyond it.
double Hump(int d, int halfSpan) {
  const double pi = std::acos(-1.0);
  const int a = std::abs(d);
  if (a > halfSpan) return 0.0;
  const double w = halfSpan * (pi / 2) / std::acos(0.1);
  const double c = std::cos(pi / 2 * a / w);
  return c * c;
}

// Slopes for a monotone cubic Hermite interpolant (Fritsch-Carlson).
void MonotoneSlopes(double m[kKnots]) {
  double delta[kKnots - 1];
  for (int i = 0; i < kKnots - 1; ++i)
    delta[i] = (kQRSKnots[i + 1].y - kQRSKnots[i].y) / (kQRSKnots[i + 1].x - kQRSKnots[i].x);
  m[0] = delta[0];
  m[kKnots - 1] = delta[kKnots - 2];
  for (int i = 1; i < kKnots - 1; ++i)
    m[i] = (delta[i - 1] * delta[i] <= 0) ? 0.0 : (delta[i - 1] + delta[i]) / 2;
  for (int i = 0; i < kKnots - 1; ++i) {
    if (delta[i] == 0) {
      m[i] = m[i + 1] = 0.0;
      continue;
    }
    const double a = m[i] / delta[i], b = m[i + 1] / delta[i];
    const double s = a * a + b * b;
    if (s > 9) {
      const double t = 3 / std::sqrt(s);
      m[i] = t * a * delta[i];
      m[i + 1] = t * b * delta[i];
    }
  }
}

double QRS(int x, const double m[kKnots]) {
  for (int i = 0; i < kKnots - 1; ++i) {
    const Knot& k0 = kQRSKnots[i];
    const Knot& k1 = kQRSKnots[i + 1];
    if (x == k0.x) return k0.y;  // exact at the fixed points
    if (x < k1.x) {
      const double h = k1.x - k0.x;
      const double t = (x - k0.x) / h;
      const double t2 = t * t, t3 = t2 * t;
      return (2 * t3 - 3 * t2 + 1) * k0.y + (t3 - 2 * t2 + t) * h * m[i] +
             (-2 * t3 + 3 * t2) * k1.y + (t3 - t2) * h * m[i + 1];
    }
  }
  return kQRSKnots[kKnots - 1].y;
}

// round(v * num / den) for integers, halves away from zero, without floating point.
std::int32_t ScaleRound(std::int64_t v, std::int64_t num, std::int64_t den) {
  const std::int64_t p = v * num;
  const std::int64_t q = (std::llabs(p) * 2 + den) / (2 * den);
  return static_cast<std::int32_t>(p < 0 ? -q : q);
}

enum class Segment { None, P, QRS, T };

Segment SegmentOf(int i) {
  if (std::abs(i - kPCentre) <= kPHalfSpan) return Segment::P;
  if (i >= kQRSFirst && i <= kQRSLast) return Segment::QRS;
  if (std::abs(i - kTCentre) <= kTHalfSpan) return Segment::T;
  return Segment::None;
}

}  // namespace

std::vector<std::int32_t> BuildIEC251() {
  double m[kKnots];
  MonotoneSlopes(m);

  std::int32_t base[kIEC251Length];
  for (int i = 0; i < kIEC251Length; ++i) {
    switch (SegmentOf(i)) {
      case Segment::P: base[i] = static_cast<std::int32_t>(std::lround(kP0 * Hump(i - kPCentre, kPHalfSpan))); break;
      case Segment::QRS: base[i] = static_cast<std::int32_t>(std::lround(QRS(i, m))); break;
      case Segment::T: base[i] = static_cast<std::int32_t>(std::lround(kT0 * Hump(i - kTCentre, kTHalfSpan))); break;
      case Segment::None: base[i] = 0; break;
    }
  }

  std::vector<std::int32_t> table(static_cast<std::size_t>(kIEC251Count) * kIEC251Length);
  for (int k = 0; k < kIEC251Count; ++k) {
    for (int i = 0; i < kIEC251Length; ++i) {
      const Segment s = SegmentOf(i);
      std::int32_t v = 0;
      if (s == Segment::P) v = ScaleRound(base[i], kPeaks[k].p, kP0);
      else if (s != Segment::None) v = ScaleRound(base[i], kPeaks[k].qrs, kQRS0);
      table[static_cast<std::size_t>(k) * kIEC251Length + i] = v;
    }
  }
  return table;
}

}  // namespace tablegen
