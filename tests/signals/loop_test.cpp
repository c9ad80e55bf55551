// The catalogue, request checks, repeatability, the loop's join and the
// annotations, over every rhythm.
#include "signals/strip.h"

using namespace orna::signals;
using namespace orna::signals::test;

namespace {

RhythmRequest Request(const char* name, double bpm = 60, double amplitude = 1,
                      std::map<std::string, double> params = {}) {
  RhythmRequest r;
  r.name = name;
  r.bpm = bpm;
  r.amplitude_mV = amplitude;
  r.params = std::move(params);
  return r;
}

bool Varies(const std::string& name) {
  return name == "sinus-arrhythmia" || name == "afib" || name == "vtach-polymorphic" ||
         name.rfind("vfib", 0) == 0;
}

}  // namespace

TEST(Rhythms, CatalogueInFixedOrderAndRequestsCheckedWithTheirRanges) {
  const char* names[] = {"sinus", "sinus-arrhythmia", "afib", "aflutter", "pac", "pvc", "pvc-bigeminy",
                         "pvc-trigeminy", "pvc-couplet", "vtach", "vtach-polymorphic", "vfib-coarse",
                         "vfib-fine", "asystole", "av-block-1", "av-block-2-wenckebach",
                         "av-block-2-mobitz", "av-block-3", "st-elevation", "st-depression",
                         "paced-atrial", "paced-ventricular", "paced-av", "paced-noncapture",
                         "paced-nonsensing"};
  ASSERT_EQ(Rhythms().size(), std::size(names));
  for (std::size_t i = 0; i < std::size(names); ++i) {
    EXPECT_STREQ(Rhythms()[i].name, names[i]);
    EXPECT_EQ(FindRhythm(names[i]), &Rhythms()[i]);
  }
  EXPECT_EQ(FindRhythm("paced"), nullptr);

  struct Case {
    RhythmRequest request;
    std::string error;
  } cases[] = {
      {Request("sinus-fast"), "unknown rhythm 'sinus-fast'"},
      {Request("vtach"), "vtach: bpm 60 out of range 100..250"},
      {Request("sinus", NAN), "sinus: bpm nan out of range 30..200"},
      {Request("sinus", 60, 0), "sinus: amplitude 0 mV out of range 0.05..10"},
      {Request("sinus", 60, 1, {{"every", 3}}), "sinus: unknown parameter 'every' (takes none)"},
      {Request("pvc", 60, 1, {{"every", 1}}), "pvc: every 1 out of range 2..12 (whole numbers)"},
      {Request("pvc", 60, 1, {{"every", 2.5}}), "pvc: every 2.5 out of range 2..12 (whole numbers)"},
      {Request("av-block-1", 60, 1, {{"pr", 180}}), "av-block-1: pr 180 out of range 210..400"},
      {Request("paced-ventricular", 70.5), "paced-ventricular: bpm 70.5 must be a whole number"},
      {Request("paced-av", 70, 1, {{"av-delay", 200}}), "paced-av: av-delay 200 out of range 150..250 (steps of 100)"},
  };
  for (const Case& c : cases) {
    Rendered out;
    std::string error;
    EXPECT_FALSE(Render(c.request, &out, &error)) << c.error;
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
  }
  // Rhythms without a rate of their own ignore bpm.
  Rendered out;
  EXPECT_TRUE(Render(Request("vfib-fine", 999), &out, nullptr));
}

TEST(Rhythms, EveryLoopIsRepeatableAndJoinsAtTheBaselineWithAnnotationsInside) {
  for (const RhythmInfo& info : Rhythms()) {
    SCOPED_TRACE(info.name);
    const Rendered a = Make(info.name), b = Make(info.name);
    EXPECT_EQ(a.microvolts, b.microvolts);
    EXPECT_EQ(Make(info.name, 0, {}, 2).microvolts != a.microvolts, Varies(info.name));

    const std::vector<double>& x = a.microvolts;
    const std::size_t n = x.size();
    EXPECT_DOUBLE_EQ(a.loop_s, n / a.samples_per_second);
    EXPECT_GE(a.loop_s, Varies(info.name) ? 60 : 10);
    EXPECT_LT(a.loop_s, 61);
    // Near 0 at both ends (a paced loop starts where its pulses put it), and
    // the start continues the end's curve.
    if (!info.paced) {
      EXPECT_LT(std::fabs(x[0]), 10);
      EXPECT_LT(std::fabs(x[n - 1]), 10);
    }
    EXPECT_LT(std::fabs(x[0] - (2 * x[n - 1] - x[n - 2])), 1.0);

    ASSERT_FALSE(a.annotations.empty());
    EXPECT_EQ(a.annotations[0].label[0], '(');
    const std::vector<Annotation> beats = Beats(a);
    EXPECT_EQ(a.annotations.size(), beats.size() + 1);
    if (!beats.empty()) {
      EXPECT_EQ(a.annotations[0].t_s, beats[0].t_s);
    }
    for (std::size_t i = 0; i < a.annotations.size(); ++i) {
      EXPECT_GE(a.annotations[i].t_s, 0);
      EXPECT_LT(a.annotations[i].t_s, a.loop_s);
      if (i) {
        EXPECT_LE(a.annotations[i - 1].t_s, a.annotations[i].t_s);
      }
    }
  }
}

TEST(Rhythms, EveryBeatIsAnnotatedAtItsPeakAndFoundByADetectorAndNoneInVfOrAsystole) {
  for (const RhythmInfo& info : Rhythms()) {
    SCOPED_TRACE(info.name);
    const Rendered r = Make(info.name);
    const std::vector<Annotation> beats = Beats(r);
    for (const Annotation& b : beats)
      EXPECT_NEAR(PeakTime(r, b.t_s - 0.03, b.t_s + 0.03, true), b.t_s, 0.003) << b.t_s;
    // Torsades complexes merge into one another: no detector of this size separates them.
    if (std::string(info.name) == "vtach-polymorphic") continue;
    const std::vector<double> found = DetectQrs(r);
    auto near = [&](double t, const auto& list, auto time) {
      for (const auto& e : list) {
        const double d = std::fabs(time(e) - t);
        if (std::min(d, r.loop_s - d) <= 0.15) return true;
      }
      return false;
    };
    for (const Annotation& b : beats) EXPECT_TRUE(near(b.t_s, found, [](double t) { return t; })) << b.t_s;
    for (double t : found) EXPECT_TRUE(near(t, beats, [](const Annotation& a) { return a.t_s; })) << t;
    const bool none = std::string(info.name).rfind("vfib", 0) == 0 || std::string(info.name) == "asystole";
    EXPECT_EQ(beats.empty(), none);
    EXPECT_EQ(found.empty(), none);
  }
}
