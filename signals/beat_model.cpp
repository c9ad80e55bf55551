#include "signals/beat_model.h"

#include <algorithm>
#include <cmath>

#include "signals/rhythm.h"

namespace orna::signals {
namespace {

constexpr double kPWidth = 0.025;       // P lasts about 4 sigma: 100 ms
constexpr double kQrsOnset = -kNormalQrsBeforeR_s;  // QRS about 90 ms with the S end at J
constexpr double kStWidth = 0.04;
constexpr double kStCentre = kJPointAfterR_s + 0.08;

double Gauss(const Wave& w, double t) {
  const double d = (t - w.at_s) / w.width_s;
  return w.mV * std::exp(-0.5 * d * d);
}

// Sets the R wave (the first of the beat) so that the beat peaks at amplitude at 0.
void NormaliseR(Beat* beat, double amplitude) {
  double others = 0;
  for (std::size_t i = 1; i < beat->size(); ++i) others += Gauss((*beat)[i], 0);
  (*beat)[0].mV = amplitude - others;
}

}  // namespace

double ValueAt(const Beat& beat, double t) {
  double v = 0;
  for (const Wave& w : beat) v += Gauss(w, t);
  return v;
}

double QtScale(double rr) { return std::sqrt(std::clamp(rr, 0.25, 2.0)); }

Beat PWave(double a, double pr) {
  // P onset two sigma before the centre, PR from P onset to QRS onset.
  return {{0.15 * a, kQrsOnset + 2 * kPWidth - pr, kPWidth}};
}

Beat PWaveFromOnset(double a) { return {{0.15 * a, 2 * kPWidth, kPWidth}}; }

Beat NormalBeat(double a, double rr, double pr, double st) {
  const double q = QtScale(rr);
  Beat b = {{a, 0, 0.0095},
            {-0.08 * a, -0.028, 0.008},
            {-0.22 * a, 0.028, 0.009},
            {0.30 * a, 0.25 * q, 0.045 * q}};
  if (pr > 0) b.push_back(PWave(a, pr)[0]);
  if (st != 0) {
    // R and the ST wave each reach into the other's place: two rounds settle both.
    const double at = kJPointAfterR_s + 0.06;
    b.push_back({0, kStCentre, kStWidth});
    for (int round = 0; round < 2; ++round) {
      NormaliseR(&b, a);
      b.back().mV = 0;
      b.back().mV = (st - ValueAt(b, at)) / Gauss({1, kStCentre, kStWidth}, at);
    }
  }
  NormaliseR(&b, a);
  return b;
}

Beat AtrialBeat(double a, double rr) {
  Beat b = NormalBeat(a, rr, 0);
  b.push_back({0.11 * a, kQrsOnset + 0.036 - 0.15, 0.018});
  NormaliseR(&b, a);
  return b;
}

Beat VentricularBeat(double a, double rr, double twist) {
  const double q = QtScale(rr);
  const double c = std::cos(twist), s = std::sin(twist);
  // Two broad lobes whose weights turn with the axis; T opposite to the QRS.
  return {{1.2 * a * c, 0, 0.028},
          {-0.9 * a * s - 0.3 * a * c, 0.07, 0.022},
          {-0.35 * a * c + 0.25 * a * s, 0.30 * q, 0.06 * q}};
}

double Fiducial(const Beat& beat) {
  // The R of a normal beat, or the larger lobe of a ventricular complex.
  if (beat.size() < 2) return beat.empty() ? 0 : beat[0].at_s;
  return std::fabs(beat[0].mV) >= std::fabs(beat[1].mV) ? beat[0].at_s : beat[1].at_s;
}

}  // namespace orna::signals
