// The WFDB readers against bytes worked out by hand from the formats' layouts.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/record.h"
#include "records/wfdb_annotations.h"
#include "records/wfdb_header.h"
#include "records/wfdb_signal.h"
#include "support/files.h"

namespace orna::records {
namespace {

using Samples = std::vector<std::vector<std::int32_t>>;
constexpr std::int32_t kX = kInvalidSample;

// One signal file of `format` holding `bytes`; `signals` of them interleaved.
Samples Decode(int format, const std::vector<std::uint8_t>& bytes, int signals = 1) {
  std::vector<SignalSpec> group(signals);
  for (auto& s : group) s.format = format;
  Samples out;
  std::string error;
  EXPECT_TRUE(DecodeSignalFile(group, bytes.data(), bytes.size(), -1, &out, &error)) << error;
  return out;
}

TEST(WfdbSignal, ByteAndWordFormats) {
  EXPECT_EQ(Decode(80, {0x80, 0x7F, 0xFF, 0x00}), Samples({{0, -1, 127, kX}}));
  EXPECT_EQ(Decode(16, {0x34, 0x12, 0xFE, 0xFF, 0x00, 0x80}), Samples({{4660, -2, kX}}));
  EXPECT_EQ(Decode(61, {0x12, 0x34, 0xFF, 0xFE, 0x80, 0x00}), Samples({{4660, -2, kX}}));
  EXPECT_EQ(Decode(160, {0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00}), Samples({{0, -1, kX}}));
  EXPECT_EQ(Decode(24, {0x01, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80}),
            Samples({{-8388607, 8388607, kX}}));
  EXPECT_EQ(Decode(32, {0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80, 0x01}), Samples({{-2, kX}}));
  // Format 8: first differences from each signal's initial value, frame by frame.
  std::vector<SignalSpec> two(2);
  two[0].format = two[1].format = 8;
  two[0].initial_value = 100;
  two[1].initial_value = -5;
  const std::vector<std::uint8_t> diffs = {0x03, 0xFF, 0x80, 0x7F};
  Samples out;
  std::string error;
  ASSERT_TRUE(DecodeSignalFile(two, diffs.data(), diffs.size(), 2, &out, &error)) << error;
  EXPECT_EQ(out, Samples({{103, -25}, {-6, 121}}));
  EXPECT_FALSE(DecodeSignalFile(two, diffs.data(), diffs.size(), 3, &out, &error));
  EXPECT_EQ(error, " holds 2 frames, the header announces 3");
}

TEST(WfdbSignal, PackedFormats) {
  // 212: 0x1E3, 0x47F | 0xFFF, 0x801 | a last sample alone in two bytes.
  EXPECT_EQ(Decode(212, {0xE3, 0x41, 0x7F, 0xFF, 0x8F, 0x01, 0x10, 0x02}), Samples({{483, 1151, -1, -2047, 528}}));
  // Two signals share the pairs: frame by frame.
  EXPECT_EQ(Decode(212, {0xE3, 0x41, 0x7F, 0xFF, 0x8F, 0x01}, 2), Samples({{483, -1}, {1151, -2047}}));
  // 310: 5 and -3 in bits 1..10 of each word; 300 = 0b01001'01100 split
  // over the words' top five bits (low half first).
  EXPECT_EQ(Decode(310, {0x0A, 0x60, 0xFA, 0x4F}), Samples({{5, -3, 300}}));
  // 311: -1, 2, 256 from bit 0 up of one 32-bit word; then -512 (missing).
  EXPECT_EQ(Decode(311, {0xFF, 0x0B, 0x00, 0x10, 0x00, 0x02}), Samples({{-1, 2, 256, kX}}));
}

TEST(WfdbHeader, FieldsDefaultsAndRefusals) {
  Header h;
  std::string error;
  ASSERT_TRUE(ParseHeader("# first\nrec 2 360/10 650000 10:00:00\n"
                          "rec.dat 212x2:3+512 0(-12)/uV 11 1024 995 21537 0 ECG lead II\n"
                          "rec.dat 212 100 11 -7\n  # last\n",
                          &h, &error))
      << error;
  EXPECT_EQ(h.name, "rec");
  EXPECT_EQ(h.frequency, 360);
  EXPECT_EQ(h.frames, 650000);
  EXPECT_EQ(h.comments, std::vector<std::string>({" first", " last"}));
  ASSERT_EQ(h.signals.size(), 2u);
  const SignalSpec& a = h.signals[0];
  EXPECT_EQ(a.samples_per_frame, 2);
  EXPECT_EQ(a.skew, 3);
  EXPECT_EQ(a.byte_offset, 512);
  EXPECT_EQ(a.gain, 200);  // 0 written
  EXPECT_EQ(a.baseline, -12);
  EXPECT_EQ(a.units, "uV");
  EXPECT_EQ(a.initial_value, 995);
  EXPECT_EQ(a.description, "ECG lead II");
  const SignalSpec& b = h.signals[1];
  EXPECT_EQ(b.units, "mV");
  EXPECT_EQ(b.baseline, -7);  // the ADC zero
  EXPECT_EQ(b.initial_value, -7);
  EXPECT_EQ(FindSignal({"V5", "ECG lead II"}, ""), 1);
  EXPECT_EQ(FindSignal({"RESP", "V5"}, ""), 1);
  EXPECT_EQ(FindSignal({"RESP", "V5"}, "resp"), 0);
  EXPECT_EQ(FindSignal({"RESP", "V5"}, "2"), -1);

  EXPECT_FALSE(ParseHeader("rec/2 1 360\n", &h, &error));
  EXPECT_EQ(error, "line 1: a multi-segment record ('rec/2') is not played");
  EXPECT_FALSE(ParseHeader("rec 1\n\nrec.dat 0 200\n", &h, &error));
  EXPECT_EQ(error, "line 3: signal format 0 is not read here (8, 16, 24, 32, 61, 80, 160, 212, 310 and 311 are)");
  EXPECT_FALSE(ParseHeader("rec 2\nrec.dat 16\n", &h, &error));
  EXPECT_EQ(error, "line 2: the record line announces 2 signals, 1 signal lines follow");
  EXPECT_FALSE(ParseHeader("rec 1\nrec.dat 16 200(x)\n", &h, &error));
  EXPECT_EQ(error, "line 2: baseline in '200(x)' is not a whole number in brackets");
}

TEST(WfdbAnnotations, ModifiersSkipAndAux) {
  const std::vector<std::uint8_t> bytes = {
      0x0A, 0x04,                    // N, 10 samples on
      0x03, 0xF4, 0x01, 0xF8,        // SUB 3, CHN 1 (carried on)
      0x00, 0xEC, 0x01, 0x00, 0xA0, 0x86,  // SKIP 0x000186A0 = 100000
      0x05, 0x14,                    // V, 5 on
      0x00, 0x70,                    // rhythm change, same sample
      0x05, 0xFC, '(', 'A', 'F', 'I', 'B', 0x00,  // AUX "(AFIB", padded
      0xFF, 0xF3,                    // NUM -1
      0x00, 0x00, 0x0A, 0x04};       // the end; nothing after it is read
  std::vector<Annotation> a;
  std::string error;
  ASSERT_TRUE(ReadAnnotations(bytes.data(), bytes.size(), &a, &error)) << error;
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0].sample, 10);
  EXPECT_EQ(a[0].subtype, 3);
  EXPECT_EQ(a[0].chan, 1);
  EXPECT_EQ(LabelText(a[0]), "N");
  EXPECT_EQ(a[1].sample, 100015);
  EXPECT_EQ(a[1].chan, 1);
  EXPECT_EQ(a[1].subtype, 0);
  EXPECT_EQ(a[2].sample, 100015);
  EXPECT_EQ(a[2].num, -1);
  EXPECT_EQ(LabelText(a[2]), "+(AFIB");

  const std::vector<std::uint8_t> unknown = {0x0A, 0x04, 0x00, 0xDC};  // code 55
  EXPECT_FALSE(ReadAnnotations(unknown.data(), unknown.size(), &a, &error));
  EXPECT_EQ(error, "byte 2: code 55 is not an annotation code");
}

// Samples per frame, skew, baseline, units and the default lead, read from files.
TEST(WfdbRecord, SkewFramesAndUnits) {
  test::ScratchDir dir;
  dir.Write("t.hea", "t 2 100 2\nt.dat 16x2:1 2(10)/uV 16 0 0 0 0 V1\nt.dat 16 0.5/V 16 0 0 0 0 ECG II\n");
  // Frames: (10, 12 | 1), (14, 16 | -2).
  dir.Write("t.dat", std::string("\x0A\x00\x0C\x00\x01\x00\x0E\x00\x10\x00\xFE\xFF", 12));
  Record r;
  std::string error;
  ASSERT_TRUE(LoadRecord({dir / "t", "", ""}, &r, &error)) << error;
  EXPECT_EQ(r.chosen, 1u);
  EXPECT_EQ(r.samples_per_second, 100);
  EXPECT_EQ(r.microvolts, std::vector<double>({2e6, -4e6}));
  EXPECT_EQ(r.note, "no " + dir / "t.atr" + ": played without annotations");
  ASSERT_TRUE(LoadRecord({dir / "t.hea", "V1", ""}, &r, &error)) << error;
  EXPECT_EQ(r.samples_per_second, 200);
  EXPECT_EQ(r.microvolts, std::vector<double>({2, 3}));  // the first frame skewed away
  EXPECT_FALSE(LoadRecord({dir / "t", "V1", "qrs"}, &r, &error));
  EXPECT_EQ(error, dir / "t.qrs" + ": cannot be opened");
  // A FIFO would hold the open until something writes to it: refused, not waited on.
  ASSERT_EQ(mkfifo((dir / "f.dat").c_str(), 0600), 0);
  dir.Write("f.hea", "f 1 100\nf.dat 16 200 16 0 0 0 0 ECG\n");
  EXPECT_FALSE(LoadRecord({dir / "f", "", ""}, &r, &error));
  EXPECT_EQ(error, dir / "f.dat" + ": not a regular file");
}

}  // namespace
}  // namespace orna::records
