// Recordings as the viewers will read them: EDF+ read back with the EDF
// library's own reader, CSV as text.
#include <edflib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tools/tools.h"

namespace orna::cli {
namespace {

std::string TempPath(const char* name) {
  return testing::TempDir() + std::to_string(getpid()) + "_" + name;
}

struct EdfFile {
  edf_hdr_struct hdr{};
  std::vector<double> samples;
  std::vector<std::pair<long long, std::string>> annotations;  // onset (100 ns), text
  std::vector<long long> durations;                             // 100 ns
};

EdfFile ReadEdf(const std::string& path) {
  EdfFile f;
  int rc = edfopen_file_readonly(path.c_str(), &f.hdr, EDFLIB_READ_ALL_ANNOTATIONS);
  EXPECT_EQ(rc, 0) << "filetype/error " << f.hdr.filetype;
  if (rc != 0) return f;
  f.samples.resize(f.hdr.signalparam[0].smp_in_file);
  EXPECT_EQ(edfread_physical_samples(f.hdr.handle, 0, static_cast<int>(f.samples.size()), f.samples.data()),
            static_cast<int>(f.samples.size()));
  for (long long i = 0; i < f.hdr.annotations_in_file; ++i) {
    edf_annotation_struct a{};
    edf_get_annotation(f.hdr.handle, static_cast<int>(i), &a);
    f.annotations.emplace_back(a.onset, a.annotation);
    f.durations.push_back(a.duration_l);
  }
  edfclose_file(f.hdr.handle);
  return f;
}

// 1.3 s of a 7 Hz sine at 5 000 samples/s with 2 ms, 4 mV pacing pulses at
// 0.25 s and 1.1 s drawn on the high range.
std::vector<Point> Trace() {
  std::vector<Point> points;
  for (int k = 0; k < 6500; ++k) {
    double t = k * 0.0002;
    bool pulse = (k >= 1250 && k < 1260) || (k >= 5500 && k < 5510);
    points.push_back({t, pulse ? 4.0 : 1.5 * std::sin(6.2831853 * 7 * t), pulse,
                      k == 1250 || k == 5500 ? 0.002 : 0.0});
  }
  return points;
}

TEST(Recording, EdfPlusReadsBackSampleForSampleWithPacingAnnotations) {
  auto points = Trace();
  std::string path = TempPath("trace.edf");
  ASSERT_TRUE(WriteEdf(path, points, 0.0002, "sine A=1.5", "ORNA SN0042", "liborna 5.9.1"));
  EdfFile f = ReadEdf(path);
  EXPECT_EQ(f.hdr.filetype, EDFLIB_FILETYPE_EDFPLUS);
  ASSERT_EQ(f.hdr.edfsignals, 1);
  EXPECT_STREQ(f.hdr.signalparam[0].label, "ECG             ");
  EXPECT_STREQ(f.hdr.signalparam[0].physdimension, "mV      ");
  EXPECT_EQ(f.hdr.signalparam[0].smp_in_datarecord, 5000);
  EXPECT_EQ(f.hdr.datarecord_duration, 10000000);  // 1 s
  // Two records: the second padded with the last value.
  ASSERT_EQ(f.samples.size(), 10000u);
  EXPECT_EQ(f.hdr.signalparam[0].phys_max, 4.0);  // the pulse, rounded up to whole mV
  double step = 8.0 / 65535;  // one digital step; the writer may truncate
  for (std::size_t k = 0; k < points.size(); ++k)
    ASSERT_NEAR(f.samples[k], points[k].mV, step + 1e-9) << "sample " << k;
  for (std::size_t k = points.size(); k < f.samples.size(); ++k)
    ASSERT_NEAR(f.samples[k], points.back().mV, step + 1e-9);
  ASSERT_EQ(f.annotations.size(), 2u);
  EXPECT_EQ(f.annotations[0], std::make_pair(2500000LL, std::string("Pacing pulse")));
  EXPECT_EQ(f.annotations[1], std::make_pair(11000000LL, std::string("Pacing pulse")));
  EXPECT_EQ(f.durations, (std::vector<long long>{20000, 20000}));  // 2 ms each
  EXPECT_STREQ(f.hdr.equipment, "ORNA SN0042");
  EXPECT_EQ(std::string(f.hdr.recording_additional).rfind("liborna 5.9.1 ", 0), 0u);
  EXPECT_EQ(std::string(f.hdr.patient_additional).rfind("sine A=1.5 ", 0), 0u);
  std::remove(path.c_str());
}

// The annotations of the first "EDF Annotations" signal, read from the file's
// bytes as a reader does that takes only that one; `*signals`: the header's
// signal count.
std::vector<std::string> FirstAnnotationSignal(const std::string& path, int* signals) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto field = [&](std::size_t at, std::size_t n) { return std::stol(bytes.substr(at, n)); };
  const long header = field(184, 8), records = field(236, 8), ns = field(252, 4);
  *signals = static_cast<int>(ns);
  std::vector<long> per_record(ns);
  long record_bytes = 0, offset = -1, annotation_bytes = 0;
  for (long i = 0; i < ns; ++i) {
    per_record[i] = field(256 + ns * 216 + i * 8, 8);
    if (offset < 0 && bytes.compare(256 + i * 16, 15, "EDF Annotations") == 0)
      offset = record_bytes, annotation_bytes = per_record[i] * 2;
    record_bytes += per_record[i] * 2;
  }
  std::vector<std::string> texts;
  for (long r = 0; offset >= 0 && r < records; ++r) {
    // TALs end in 0x14 0x00: "+onset\x15duration\x14text\x14..."; the first is
    // the record's time stamp, with no text.
    std::string tal = bytes.substr(header + r * record_bytes + offset, annotation_bytes);
    for (std::size_t at = 0; at < tal.size() && tal[at] != 0;) {
      const std::size_t end = tal.find(std::string("\x14\x00", 2), at);
      std::stringstream parts(tal.substr(at, end - at));
      std::string part;
      std::getline(parts, part, '\x14');  // onset and duration
      while (std::getline(parts, part, '\x14'))
        if (!part.empty()) texts.push_back(part);
      at = end + 2;
    }
  }
  return texts;
}

TEST(Recording, EdfKeepsEveryAnnotationWhenPulsesOutnumberRecords) {
  // 80 pulses a minute for 15 s: 20 pulses in 15 one-second records (and at
  // the graph rate, in 0.996 s records).
  for (double period : {0.0002, 0.006}) {
    std::vector<Point> points;
    const int n = static_cast<int>(std::lround(15 / period));
    for (int k = 0; k < n; ++k) points.push_back({k * period, (k % 50) * 0.02, false, std::fmod(k * period + 1e-9, 0.75) < period / 2 ? 0.002 : 0.0});
    std::string path = TempPath("many.edf");
    ASSERT_TRUE(WriteEdf(path, points, period, "x"));
    EdfFile f = ReadEdf(path);
    ASSERT_EQ(f.annotations.size(), 20u) << period;
    for (std::size_t i = 0; i < 20; ++i) EXPECT_NEAR(f.annotations[i].first, i * 7500000LL, 600000) << i;
    // All in one annotation signal, so that a reader of only the first sees them.
    int signals = 0;
    EXPECT_EQ(FirstAnnotationSignal(path, &signals), std::vector<std::string>(20, "Pacing pulse")) << period;
    EXPECT_EQ(signals, 2);
    // Shorter records, the same rate and samples.
    EXPECT_NEAR(f.hdr.signalparam[0].smp_in_datarecord * 1e7 / f.hdr.datarecord_duration, 1 / period, 1e-6);
    ASSERT_GE(f.samples.size(), points.size());
    for (std::size_t k = 0; k < points.size(); ++k) ASSERT_NEAR(f.samples[k], points[k].mV, 2.0 / 65535 + 1e-9) << k;
    std::remove(path.c_str());
  }
  // More than 64 per record do not fit at all: no file rather than a short one.
  std::vector<Point> crowded;
  for (int k = 0; k < 100; ++k) crowded.push_back({k * 0.0002, 0.0, false, 0.0001});
  EXPECT_FALSE(WriteEdf(TempPath("crowded.edf"), crowded, 0.0002, "x"));
}

TEST(Recording, GraphRateIsStoredExactlyInShorterRecords) {
  // The graph callback's every-30th-sample rate (1/6 ms) is no whole number
  // of samples per second: 166 samples in 0.996 s records keep it exact.
  std::vector<Point> points;
  for (int k = 0; k < 400; ++k) points.push_back({k * 0.006, (k % 10) * 0.1, false});
  std::string path = TempPath("graph.EDF");
  ASSERT_TRUE(WriteRecording(path, points, 0.006, "graph"));
  EdfFile f = ReadEdf(path);
  EXPECT_EQ(f.hdr.signalparam[0].smp_in_datarecord, 166);
  EXPECT_EQ(f.hdr.datarecord_duration, 9960000);
  ASSERT_EQ(f.samples.size(), 3u * 166);
  for (int k = 0; k < 400; ++k) ASSERT_NEAR(f.samples[k], (k % 10) * 0.1, 2.0 / 65535 + 1e-9);
  std::remove(path.c_str());
}

TEST(Recording, RefusesPeriodsItCannotStoreAndUnwritablePaths) {
  std::vector<Point> points = {{0, 0, false}, {1, 1, false}};
  EXPECT_FALSE(WriteEdf(TempPath("odd.edf"), points, 0.0000123, "x"));  // not whole 10 us units
  EXPECT_FALSE(WriteEdf(TempPath("zero.edf"), points, 0, "x"));
  EXPECT_FALSE(WriteEdf("/nonexistent/dir/a.edf", points, 0.0002, "x"));
  EXPECT_FALSE(WriteCsv("/nonexistent/dir/a.csv", points));
}

TEST(Recording, ResampleHoldsValuesAcrossHalfSteps) {
  // Half steps (0.0001 s) between grid instants are held over to the next one.
  std::vector<Point> points = {{0.0, 1, false}, {0.0002, 2, false}, {0.0003, 9, true},
                               {0.0004, 3, false}, {0.0007, 4, false}};
  EXPECT_EQ(Resample(points, 0.0002), (std::vector<double>{1, 2, 3, 3}));
  // The grid starts at the first point.
  std::vector<Point> late = {{0.0011, 5, false}, {0.0013, 6, false}, {0.0014, 7, true}, {0.0016, 8, false}};
  EXPECT_EQ(Resample(late, 0.0002), (std::vector<double>{5, 6, 7}));
  EXPECT_TRUE(Resample({}, 0.0002).empty());
}

TEST(Recording, CsvIsOneLinePerPoint) {
  std::string path = TempPath("t.csv");
  ASSERT_TRUE(WriteRecording(path, {{0.0, 0.5, false}, {0.0002, -700.0, true, 0.001}}, 0.0002, "x"));
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "time_s,value_mV,high_range,pacing_pulse\n0.0000,0.500000,0,0\n0.0002,-700.000000,1,1\n");
  std::remove(path.c_str());
  // Output paths are checked before a run: an existing file is kept, a new
  // one not left behind.
  EXPECT_FALSE(CanWrite("/nonexistent/dir/a.csv"));
  EXPECT_TRUE(CanWrite(path));
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_TRUE(CanWrite("-"));
  // Nothing is opened at the path: a FIFO without a reader is refused at
  // once, and a link to nothing leaves nothing at its target.
  const std::string fifo = path + ".fifo", link = path + ".link", target = path + ".target";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_FALSE(CanWrite(fifo));
  EXPECT_FALSE(CanWrite(link));
  EXPECT_NE(access(target.c_str(), F_OK), 0);
  std::remove(fifo.c_str());
  std::remove(link.c_str());
}

}  // namespace
}  // namespace orna::cli
