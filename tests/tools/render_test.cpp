// `orna render` against `orna play --emulate`, and the WFDB record it writes
// decoded by hand against the CSV of the same run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/files.h"
#include "tools/rhythm_play.h"
#include "tools/tools.h"

namespace orna::cli {
namespace {

std::string Temp(const std::string& name) { return testing::TempDir() + std::to_string(getpid()) + "_" + name; }

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

PlayOptions Paced(const char* function, double seconds) {
  PlayOptions o;
  o.function = function;
  o.emulate = true;
  o.seconds = seconds;
  o.pacing_amplitude = 3;
  o.pacing_rate = 150;
  o.pacing_mode = 1;  // two pulses: the library's repeated reports are merged
  return o;
}

PlayOptions Rhythm(const char* name, double seconds) {
  PlayOptions o;
  o.function = kRhythmFunction;
  o.rhythm = name;
  o.emulate = true;
  o.seconds = seconds;
  return o;
}

TEST(Render, SamplesAreThoseOfPlayEmulateAndNothingIsPrinted) {
  for (PlayOptions o : {Paced("ecg", 3), Rhythm("pvc", 4)}) {
    const std::string name = o.function + o.rhythm;
    o.records = {Temp(name + "_play.csv")};
    testing::internal::CaptureStdout();
    ASSERT_EQ(RunPlay(o), kExitOk) << name;
    testing::internal::GetCapturedStdout();
    const std::string played = Slurp(o.records[0]);

    o.records = {Temp(name + "_render.csv")};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(RunRender(o), kExitOk) << name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << name;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << name;
    const std::string rendered = Slurp(o.records[0]);
    // Same rows, flags and annotations; the pacing pulses (or beat labels) are there.
    EXPECT_EQ(std::count(played.begin(), played.end(), '\n'), std::lround(o.seconds * 5000) + 1) << name;
    EXPECT_NE(played.find(o.rhythm.empty() ? ",1\n" : ",V\n"), std::string::npos) << name;
    EXPECT_TRUE(rendered == played) << name;
    std::remove(Temp(name + "_play.csv").c_str());
    std::remove(o.records[0].c_str());
  }
}

struct Row {
  double t, mV;
  bool pulse;
  std::vector<std::string> labels;
};

std::vector<Row> ReadCsv(const std::string& path) {
  std::vector<Row> rows;
  for (const auto& r : orna::test::ReadRecordingCsv(path)) {
    Row row{r.t, r.mV, r.pulse == "1", {}};
    std::istringstream words(r.annotation);
    for (std::string w; words >> w;) row.labels.push_back(w);
    rows.push_back(row);
  }
  return rows;
}

struct Note {
  std::uint64_t sample;
  int code;
  std::string aux;
  bool operator==(const Note& o) const { return sample == o.sample && code == o.code && aux == o.aux; }
};

// The annotation file as the format defines it: 16-bit little-endian words,
// a 6-bit code over a 10-bit interval, SKIP (59) with a 32-bit interval high
// word first, AUX (63) with its byte count, padded to even; a 0 word ends it.
std::vector<Note> DecodeAtr(const std::string& bytes) {
  std::vector<Note> notes;
  std::uint64_t t = 0;
  auto word = [&](std::size_t at) {
    return static_cast<unsigned>(static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1]) << 8);
  };
  for (std::size_t at = 0; at + 1 < bytes.size();) {
    const unsigned w = word(at);
    at += 2;
    const int code = static_cast<int>(w >> 10);
    const unsigned interval = w & 0x3FF;
    if (w == 0) break;
    if (code == 59) {
      t += (static_cast<std::uint64_t>(word(at)) << 16) | word(at + 2);
      at += 4;
    } else if (code == 63) {
      EXPECT_FALSE(notes.empty());
      notes.back().aux = bytes.substr(at, interval);
      at += interval + interval % 2;
    } else {
      t += interval;
      notes.push_back({t, code, ""});
    }
  }
  return notes;
}

TEST(Render, WfdbRecordHoldsTheCsvSamplesAndEveryAnnotation) {
  // 100 mV pulses: the high range, so the gain is below 1000 adu/mV.
  PlayOptions o = Rhythm("pvc", 6);
  o.pacing_amplitude = 100;
  o.pacing_rate = 60;
  const std::string hea = Temp("rec.hea"), base = hea.substr(0, hea.size() - 4);
  const std::string name = base.substr(base.find_last_of('/') + 1);
  o.records = {Temp("rec.csv"), hea};
  ASSERT_EQ(RunRender(o), kExitOk);
  const std::vector<Row> rows = ReadCsv(o.records[0]);
  ASSERT_EQ(rows.size(), 30000u);

  std::istringstream header(Slurp(hea));
  std::string record, signal;
  std::getline(header, record);
  std::getline(header, signal);
  EXPECT_EQ(record, name + " 1 5000 30000");
  char file[256] = {};
  double gain = 0;
  int first = 0, checksum = 0;
  ASSERT_EQ(std::sscanf(signal.c_str(), "%255s 16 %lf(0)/mV 16 0 %d %d 0 ECG", file, &gain, &first, &checksum), 4)
      << signal;
  EXPECT_EQ(std::string(file), name + ".dat");
  EXPECT_EQ(gain, 327);  // 32767 over the 100 mV peak

  const std::string dat = Slurp(base + ".dat");
  ASSERT_EQ(dat.size(), 2 * rows.size());
  std::int16_t sum = 0;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const auto v = static_cast<std::int16_t>(static_cast<std::uint8_t>(dat[2 * k]) |
                                             static_cast<std::uint8_t>(dat[2 * k + 1]) << 8);
    sum = static_cast<std::int16_t>(sum + v);
    if (k == 0) {
      EXPECT_EQ(v, first);
    }
    ASSERT_NEAR(v / gain, rows[k].mV, 0.5 / gain + 1e-9) << k;
  }
  EXPECT_EQ(sum, checksum);

  // Every pulse as a pacer spike (26), every beat by its code (N 1, V 5) and
  // the rhythm's label as RHYTHM (28) with its text.
  std::vector<Note> expected;
  int pulses = 0;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (rows[k].pulse) expected.push_back({k, 26, ""}), ++pulses;
    for (const auto& l : rows[k].labels)
      expected.push_back({k, l == "N" ? 1 : l == "V" ? 5 : 28, l == "N" || l == "V" ? "" : l});
  }
  EXPECT_EQ(pulses, 6);
  EXPECT_GT(expected.size(), 12u);
  EXPECT_EQ(DecodeAtr(Slurp(base + ".atr")), expected);

  // An outside reader of the format takes the record and every annotation
  // (biosig-tools, where installed).
  FILE* p = access("/usr/bin/save2gdf", X_OK) == 0 ? popen(("/usr/bin/save2gdf -JSON " + hea).c_str(), "r") : nullptr;
  if (p != nullptr) {
    std::string json;
    for (char buf[4096]; std::fgets(buf, sizeof buf, p);) json += buf;
    pclose(p);
    auto count = [&](const std::string& what) {
      std::size_t n = 0;
      for (auto at = json.find(what); at != std::string::npos; at = json.find(what, at + 1)) ++n;
      return n;
    };
    EXPECT_EQ(count("\"NumberOfSamples\"\t: 30000,"), 1u) << json;
    EXPECT_EQ(count("\"TYP\""), expected.size());
    EXPECT_EQ(count("\"non-conducted pacer spike\""), 6u);
  }
  for (const char* ext : {".csv", ".hea", ".dat", ".atr"}) std::remove((base + ext).c_str());
}

}  // namespace
}  // namespace orna::cli
