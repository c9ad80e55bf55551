// `orna rhythms` and `orna play rhythm NAME` against the virtual instrument:
// the loop played unchanged, its annotations where it played them.
#include <edflib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "signals/rhythm.h"
#include "support/files.h"
#include "tools/rhythm_play.h"
#include "tools/tools.h"

namespace orna::cli {
namespace {

std::string Temp(const char* name) { return testing::TempDir() + std::to_string(getpid()) + "_" + name; }

PlayOptions Rhythm(const char* name, double seconds) {
  PlayOptions o;
  o.function = kRhythmFunction;
  o.rhythm = name;
  o.emulate = true;
  o.seconds = seconds;
  return o;
}

std::string PlayMessage(const PlayOptions& o, int expected_exit) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunPlay(o), expected_exit);
  return testing::internal::GetCapturedStderr();
}

struct Row {
  double t, mV;
  std::string annotation;
  double pulse_s = 0;
};

std::vector<Row> ReadAnnotatedCsv(const std::string& path) {
  std::vector<Row> rows;
  std::string header;
  for (const auto& r : orna::test::ReadRecordingCsv(path, &header))
    rows.push_back({r.t, r.mV, r.annotation, r.pulse.empty() ? 0 : std::stod(r.pulse)});
  EXPECT_EQ(header, "time_s,value_mV,high_range,pacing_pulse,annotation");
  return rows;
}

// The loop is played at its own rate and in its own microvolts: every sample
// played, across the loop's end, is the rendered one within a converter step
// (5 mV full scale over 2000 codes, truncated). Without care a third of them
// came one sample late: the library's phase adds up 0.2 ms steps.
TEST(RhythmPlay, PlaysTheRenderedLoopSampleForSample) {
  auto o = Rhythm("vtach", 12);
  o.bpm = 250;
  o.amplitude = 2.5;
  o.records = {Temp("loop.csv")};
  ASSERT_EQ(RunPlay(o), kExitOk);
  const auto rows = ReadAnnotatedCsv(o.records[0]);
  std::remove(o.records[0].c_str());

  signals::RhythmRequest request;
  request.name = "vtach";
  request.bpm = 250;
  request.amplitude_mV = 2.5;
  signals::Rendered r;
  ASSERT_TRUE(signals::Render(request, &r, nullptr));
  const std::size_t n = r.microvolts.size();
  ASSERT_EQ(rows.size(), 60000u);
  ASSERT_LT(n, rows.size()) << "the run covers the loop's end";
  const double step = 5000.0 / 2000;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const double played = rows[i].mV * 1000, rendered = r.microvolts[i % n];
    ASSERT_LE(played, rendered + 1e-3) << i;
    ASSERT_GT(played, rendered - step) << i;
  }
}

// Every annotation lands, in both recordings, on the sample where its beat was
// played: the peak of |signal| nearby, in the rhythm's pattern and at its rate.
TEST(RhythmPlay, AnnotationsAreRecordedAtThePlayedBeats) {
  auto o = Rhythm("pvc", 8);
  o.bpm = 75;
  o.rhythm_params = {{"every", 3}};
  o.records = {Temp("beats.csv"), Temp("beats.edf")};
  ASSERT_EQ(RunPlay(o), kExitOk);
  const auto rows = ReadAnnotatedCsv(o.records[0]);
  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(o.records[1].c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  EXPECT_EQ(std::string(hdr.patient_additional).rfind("rhythm pvc BPM=75 every=3", 0), 0u) << hdr.patient_additional;
  std::vector<std::pair<long long, std::string>> edf;
  for (long long i = 0; i < hdr.annotations_in_file; ++i) {
    edf_annotation_struct a{};
    edf_get_annotation(hdr.handle, static_cast<int>(i), &a);
    edf.emplace_back(a.onset, a.annotation);
  }
  edfclose_file(hdr.handle);
  for (const auto& path : o.records) std::remove(path.c_str());
  ASSERT_EQ(rows.size(), 40000u);

  std::vector<std::pair<long long, std::string>> csv;  // onset in 100 ns, as EDF+ readers give it
  std::vector<std::size_t> beats;
  std::string codes;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::istringstream labels(rows[i].annotation);
    for (std::string label; labels >> label;) {
      csv.emplace_back(static_cast<long long>(i) * 2000, label);
      if (label[0] == '(') continue;
      beats.push_back(i);
      codes += label;
    }
  }
  EXPECT_EQ(edf, csv);
  ASSERT_FALSE(csv.empty());
  EXPECT_EQ(csv[0].first, static_cast<long long>(beats[0]) * 2000) << "the rhythm is named at the first beat";
  EXPECT_EQ(csv[0].second[0], '(');
  ASSERT_GE(beats.size(), 10u) << codes;
  for (std::size_t k = 0; k < beats.size(); ++k) {
    std::size_t peak = beats[k];
    for (std::size_t i = beats[k] > 25 ? beats[k] - 25 : 0; i <= std::min(rows.size() - 1, beats[k] + 25); ++i)
      if (std::fabs(rows[i].mV) > std::fabs(rows[peak].mV)) peak = i;
    EXPECT_EQ(peak, beats[k]) << "beat " << k << " is not on the peak within 5 ms";
  }
  // N N V at 75 per minute: normal beats 0.8 s apart, the PVC at 60 % of that,
  // then the compensatory pause.
  for (std::size_t k = 1; k < beats.size(); ++k) {
    const std::string pair = codes.substr(k - 1, 2);
    const std::size_t rr = beats[k] - beats[k - 1];
    EXPECT_EQ(rr, pair == "NN" ? 4000u : pair == "NV" ? 2400u : pair == "VN" ? 5600u : 0u) << pair << " at " << k;
    if (k >= 3) {
      EXPECT_EQ(codes[k], codes[k - 3]) << codes;
    }
  }
  EXPECT_EQ(std::count(codes.begin(), codes.begin() + 3, 'V'), 1) << codes;
}

// Paced for two minutes with high-range pulses of an odd number of 0.1 ms
// ticks (each ends with a half-length sample, so the sample count and the
// waveform clock part ways) at a rate whose period is no whole number of
// samples: every pulse is still followed by its QRS onset at the capture
// delay, in the annotations and in the samples.
TEST(RhythmPlay, PacedBeatsStayLockedToTheLibrarysPulsesForTheWholeRun) {
  auto o = Rhythm("paced-ventricular", 120);
  o.rhythm_params = {{"capture-delay", 30}};
  o.pacing_amplitude = 10;
  o.pacing_width = 0.5;
  o.records = {Temp("paced.csv")};
  ASSERT_EQ(RunPlay(o), kExitOk);
  const auto rows = ReadAnnotatedCsv(o.records[0]);
  std::remove(o.records[0].c_str());
  ASSERT_GT(rows.size(), 599000u);

  const double delay = 0.030, sample = 0.0002;
  std::vector<std::size_t> pulses, beats;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].pulse_s > 0) pulses.push_back(i);
    if (rows[i].annotation.find('/') != std::string::npos) beats.push_back(i);
  }
  EXPECT_EQ(pulses.size(), 140u);  // 70 per minute, the first one period less 20 ms in
  // The first beat's pulse came before the start; the last pulse's beat after the end.
  EXPECT_LT(rows[beats[0]].t, 0.1);
  ASSERT_EQ(beats.size(), pulses.size());
  EXPECT_GT(rows[pulses.back()].t, rows.back().t - delay - signals::kPacedQrsOnset_s);
  for (std::size_t k = 0; k + 1 < pulses.size(); ++k) {
    const Row& pulse = rows[pulses[k]];
    EXPECT_EQ(pulse.mV, 10) << "high range at " << pulse.t;
    const std::size_t beat = beats[k + 1];
    ASSERT_LT(pulses[k], beat);
    ASSERT_LT(beat, pulses[k + 1]);
    EXPECT_NEAR(rows[beat].t - pulse.t, delay + signals::kPacedQrsOnset_s, sample) << pulse.t;
    // The onset in the samples: the first one at a tenth of the peak (a
    // sample late at most), the pulse's start on either half of a sample.
    std::size_t onset = beat;
    while (rows[onset - 1].mV >= 0.1 * rows[beat].mV) --onset;
    EXPECT_NEAR(rows[onset].t - pulse.t, delay, 2 * sample) << pulse.t;
  }
}

// The catalogue names every rhythm and every parameter with its range, within
// 80 columns.
TEST(RhythmPlay, CatalogueFitsEightyColumns) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(RunRhythms(out), kExitOk);
  std::rewind(out);
  std::string text;
  for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
  std::fclose(out);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
  for (const auto& r : signals::Rhythms()) {
    const std::size_t at = text.find("\n" + std::string(r.name) + "\n");
    ASSERT_NE(at, std::string::npos) << r.name;
    const std::string entry = text.substr(at, text.find("\n\n", at + 1) - at);
    EXPECT_NE(entry.find(r.uses_bpm ? "--bpm " : "--bpm not taken"), std::string::npos) << entry;
    for (const auto& p : r.params)
      EXPECT_NE(entry.find("--" + std::string(p.name) + " "), std::string::npos) << entry;
  }
  EXPECT_NE(text.find("--every 2..12 whole beats (default 4): every Nth beat is premature\n"), std::string::npos);
}

// Options a rhythm does not take are refused naming it and what it takes;
// values out of range in the renderer's words; all before anything is opened.
TEST(RhythmPlay, RefusesWhatTheRhythmDoesNotTake) {
  auto o = Rhythm("pvc", 1);
  o.rhythm_params = {{"st", 0.2}};
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: --st does nothing here: pvc takes only --every\n");
  o = Rhythm("asystole", 1);
  o.rhythm_params = {{"hz", 5}};
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: --hz does nothing here: asystole takes no rhythm parameters\n");
  o = Rhythm("pvc", 1);
  o.rhythm_params = {{"every", 2.5}};
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: pvc: every 2.5 out of range 2..12 (whole numbers)\n");
  o = Rhythm("aflutter", 1);
  o.bpm = 100;
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: --bpm does nothing here: aflutter keeps its own rate\n");
  o = Rhythm("vtach", 1);
  o.amplitude = 4.9;  // the renderer takes it; the wide complexes are taller than that
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: --amplitude 4.9 mV: the rhythm would reach 5.87 mV, beyond the output's 5 mV\n");
  o = Rhythm("", 1);
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: 'orna play rhythm' needs the rhythm's name (see orna rhythms)\n");
  o.rhythm = "torsade\x1b[2J";  // what was typed comes back escaped
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: unknown rhythm 'torsade\\e[2J' (see orna rhythms)\n");
  o = Rhythm("pvc", 1);
  o.function = "sine";
  EXPECT_EQ(PlayMessage(o, kExitUsage), "orna: a rhythm's name goes after 'rhythm' only: orna play rhythm pvc\n");
  o.rhythm.clear();
  o.rhythm_params = {{"every", 3}};
  EXPECT_EQ(PlayMessage(o, kExitUsage),
            "orna: --every does nothing here: it is for 'orna play rhythm NAME' only\n");
}

}  // namespace
}  // namespace orna::cli
