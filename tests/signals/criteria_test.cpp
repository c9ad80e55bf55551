// Each family against the criteria a clinician reads off the strip.
#include <numeric>

#include "signals/strip.h"

using namespace orna::signals;
using namespace orna::signals::test;

namespace {

std::string Labels(const Rendered& r) {
  std::string s;
  for (const Annotation& a : Beats(r)) s += a.label;
  return s;
}

double Mean(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / v.size(); }

// Time from the P peak before a beat to its R peak, looking back as far as `from`.
double PToR(const Rendered& r, double t, double from = 0.45) { return t - PeakTime(r, t - from, t - 0.08); }

// The beat codes run round the loop in repeats of `unit`, wherever the loop starts.
void ExpectPattern(const Rendered& r, const std::string& unit) {
  const std::string labels = Labels(r);
  std::string repeated;
  while (repeated.size() < labels.size()) repeated += unit;
  EXPECT_EQ(labels.size() % unit.size(), 0u) << labels;
  EXPECT_NE((labels + labels).find(repeated.substr(0, labels.size())), std::string::npos) << labels;
}

}  // namespace

TEST(Criteria, RrRegularInSinusIrregularlyIrregularInAfibPhasicInSinusArrhythmia) {
  const Rendered sinus = Make("sinus", 75);
  EXPECT_EQ(Beats(sinus).size(), std::lround(sinus.loop_s * 75 / 60));
  for (double rr : Intervals(sinus)) EXPECT_NEAR(rr, 0.8, 0.008);

  const Rendered afib = Make("afib", 90);
  const std::vector<double> rr = Intervals(afib);
  const double mean = Mean(rr);
  double var = 0;
  for (double v : rr) var += (v - mean) * (v - mean);
  EXPECT_NEAR(mean, 60.0 / 90, 0.001);
  EXPECT_GT(std::sqrt(var / rr.size()) / mean, 0.1);
  for (std::size_t lag = 1; lag <= 10; ++lag) {  // no pattern: no autocorrelation
    double c = 0;
    for (std::size_t i = 0; i < rr.size(); ++i) c += (rr[i] - mean) * (rr[(i + lag) % rr.size()] - mean);
    EXPECT_LT(std::fabs(c / var), 0.35) << "lag " << lag;
  }
  // No P wave before any QRS, seen without the f waves (the same beats, the
  // loop maybe cut elsewhere); what the f waves add is 5-9 Hz at the asked size.
  const Rendered bare = Make("afib", 90, {{"fwaves", 0}});
  for (std::size_t i = 0; i < rr.size(); ++i) {
    const double t = Beats(bare)[i].t_s;
    if (rr[i] < 0.7) continue;  // the T wave before would reach into the window
    EXPECT_LT(MilliVolts(bare, PeakTime(bare, t - 0.25, t - 0.1)), 0.005);
  }
  Rendered f = afib;
  const long shift = Index(afib, Beats(afib)[0].t_s) - Index(bare, Beats(bare)[0].t_s);
  double power = 0;
  for (std::size_t i = 0; i < f.microvolts.size(); ++i) {
    f.microvolts[i] -= bare.microvolts[Index(bare, (static_cast<double>(i) - shift) / 5000)];
    power += f.microvolts[i] * f.microvolts[i] / 1e6;
  }
  EXPECT_NEAR(std::sqrt(power / f.microvolts.size()), 0.08 / 2, 0.001);
  EXPECT_GE(DominantHz(f), 5);
  EXPECT_LE(DominantHz(f), 9);

  const std::vector<double> phasic = Intervals(Make("sinus-arrhythmia", 60, {{"depth", 0.1}}));
  const auto [lo, hi] = std::minmax_element(phasic.begin(), phasic.end());
  EXPECT_GT(*hi - *lo, 0.12);
  EXPECT_NEAR(Mean(phasic), 1.0, 0.001);
}

TEST(Criteria, FlutterWavesRepeatAt300PerMinuteAndConductAtTheGivenRatio) {
  for (double conduction : {2.0, 3.0, 4.0}) {
    const Rendered r = Make("aflutter", 0, {{"conduction", conduction}});
    for (double rr : Intervals(r)) EXPECT_NEAR(rr, conduction * 0.2, 0.001);
  }
  const Rendered r = Make("aflutter", 0, {{"conduction", 4}});
  for (const Annotation& b : Beats(r)) {  // between T and the next QRS: sawtooth, period 200 ms
    double lo = INFINITY, hi = -INFINITY;
    for (double t = b.t_s + 0.55; t < b.t_s + 0.75; t += 0.002) {
      EXPECT_NEAR(MilliVolts(r, t), MilliVolts(r, t - 0.2), 0.01);
      lo = std::min(lo, MilliVolts(r, t)), hi = std::max(hi, MilliVolts(r, t));
    }
    EXPECT_GT(hi - lo, 0.2);
  }
}

TEST(Criteria, EctopicBeatsInTheirPatternsWideVentricularOnesWithACompensatoryPause) {
  ExpectPattern(Make("pvc-bigeminy"), "NV");
  ExpectPattern(Make("pvc-trigeminy"), "NNV");
  ExpectPattern(Make("pvc-couplet"), "NNNVV");
  ExpectPattern(Make("pac", 60, {{"every", 3}}), "NNA");
  ExpectPattern(Make("pvc"), "NNNV");
  ExpectPattern(Make("vtach"), "V");
  for (const char* name : {"pvc", "pac", "vtach"}) {
    const Rendered r = Make(name);
    const std::vector<Annotation> beats = Beats(r);
    const std::vector<double> rr = Intervals(r);
    for (std::size_t i = 0; i < beats.size(); ++i) {
      SCOPED_TRACE(std::string(name) + " " + beats[i].label + " at " + std::to_string(beats[i].t_s));
      const double width = QrsWidth(r, beats[i].t_s);
      if (beats[i].label == "V") {
        EXPECT_GE(width, 0.12);
        EXPECT_LT(MilliVolts(r, PeakTime(r, beats[i].t_s - 0.25, beats[i].t_s - 0.1)), 0.05);  // no P
      } else {
        EXPECT_LT(width, 0.12);
      }
      const double around = rr[i] + rr[(i + 1) % rr.size()];
      if (beats[i].label == "V" && name == std::string("pvc")) {
        EXPECT_NEAR(around, 2.0, 0.001);  // the sinus beat after it comes on time
      }
      if (beats[i].label == "A") {
        EXPECT_LT(around, 1.9);  // the sinus node starts again from the early beat
      }
    }
  }
  for (double rr : Intervals(Make("vtach", 180))) EXPECT_NEAR(rr, 60.0 / 180, 0.001);
}

TEST(Criteria, AvBlocksLongPrLengtheningPrConstantPrAndDissociation) {
  const Rendered sinus = Make("sinus"), first = Make("av-block-1", 60, {{"pr", 300}});
  EXPECT_NEAR(PToR(first, Beats(first)[2].t_s) - PToR(sinus, Beats(sinus)[2].t_s), 0.14, 0.001);

  // 4:3 type I block at 75/min: three PRs that lengthen by less each time, then a drop.
  const Rendered wb = Make("av-block-2-wenckebach", 75, {{"ratio", 4}});
  const std::vector<Annotation> beats = Beats(wb);
  const std::vector<double> rr = Intervals(wb);
  ASSERT_EQ(beats.size() % 3, 0u);
  for (std::size_t i = 0; i < beats.size(); ++i) {
    // The beat after the longest pause starts a group.
    if (rr[i] < 1.0) continue;
    const double p0 = PToR(wb, beats[i].t_s), p1 = PToR(wb, beats[i + 1].t_s), p2 = PToR(wb, beats[i + 2].t_s);
    EXPECT_LT(p0 + 0.05, p1);
    EXPECT_LT(p1 - p0, 0.11);
    EXPECT_LT(p2 - p1, p1 - p0);
    EXPECT_GT(p2 - p1, 0.01);
    EXPECT_LT(rr[i], 2 * 0.8);  // the pause is shorter than two P-P
    // The blocked P wave lies in the pause, 800 ms after the last conducted one.
    const double blocked = beats[i].t_s - p0 - 0.8;
    EXPECT_NEAR(MilliVolts(wb, blocked), 0.15, 0.01);
  }

  const Rendered type2 = Make("av-block-2-mobitz", 75, {{"ratio", 3}});
  const std::vector<double> mrr = Intervals(type2);
  for (std::size_t i = 0; i < mrr.size(); ++i) {
    EXPECT_NEAR(mrr[i], mrr[i] > 1 ? 1.6 : 0.8, 0.001);
    EXPECT_NEAR(PToR(type2, Beats(type2)[i].t_s, 0.3), 0.155, 0.001);
  }

  const Rendered third = Make("av-block-3", 40, {{"atrial", 75}});
  std::vector<double> pr;
  for (const Annotation& b : Beats(third)) pr.push_back(PToR(third, b.t_s));
  for (double v : Intervals(third)) EXPECT_NEAR(v, 1.5, 0.001);
  EXPECT_GT(*std::max_element(pr.begin(), pr.end()) - *std::min_element(pr.begin(), pr.end()), 0.25);
}

TEST(Criteria, StShiftAtJPlus60msAsAsked) {
  const std::pair<const char*, double> cases[] = {{"sinus", 0}, {"st-elevation", 0.3}, {"st-depression", -0.1}};
  for (const auto& [name, st] : cases) {
    const Rendered r = st == 0 ? Make(name) : Make(name, 60, {{"st", st}});
    for (const Annotation& b : Beats(r))
      EXPECT_NEAR(MilliVolts(r, b.t_s + kJPointAfterR_s + 0.06), st, 0.02) << name;
    EXPECT_NEAR(MilliVolts(r, Beats(r)[0].t_s), 1.0, 0.001) << name;
  }
}

TEST(Criteria, FibrillationAt4To8HzCoarseOrFineAndAsystoleFlat) {
  const Rendered coarse = Make("vfib-coarse"), fine = Make("vfib-fine"), at7 = Make("vfib-coarse", 0, {{"hz", 7}});
  for (const Rendered* r : {&coarse, &fine, &at7}) {
    EXPECT_GE(DominantHz(*r), 4);
    EXPECT_LE(DominantHz(*r), 8);
  }
  EXPECT_NEAR(DominantHz(at7), 7, 0.6);
  auto peak = [](const Rendered& r) {
    double m = 0;
    for (double v : r.microvolts) m = std::max(m, std::fabs(v) / 1000);
    return m;
  };
  EXPECT_GT(peak(coarse), 0.5);
  EXPECT_LT(peak(fine), 0.2);
  EXPECT_EQ(peak(Make("asystole")), 0);
}
