// Byte images of the host's messages, the inbound decoders, and framing by the inbound table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

#include "link_support.h"

using namespace orna;
using namespace orna::linktest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

TEST(Encoders, RelayWordGoesOutInThreeBytesMostSignificantFirst) {
  unsigned char m[6];
  ASSERT_EQ(_EncodeRelayCommand(0x4321, m), 6);
  EXPECT_THAT(m, ElementsAre(0x07, 0x00, 0x43, 0x21, 0x00, 0x00));
  ASSERT_EQ(_EncodeRelayCommand(0xFFABCDEF, m), 6);  // only bits 23..0 travel
  EXPECT_THAT(m, ElementsAre(0x07, 0xAB, 0xCD, 0xEF, 0x00, 0x00));
}

TEST(Encoders, RangeByteIsTheLowByteOfTheTruncatedValue) {
  const struct {
    double range;
    unsigned char byte;
  } cases[] = {{5.0, 5},        {4.0, 4},     {5.99, 5},
               {-1.5, 0xFF},    {300.7, 0x2C}, {4294967297.0, 1},
               {-256.2, 0x00},  {1e300, 0x00}, {std::nan(""), 0x00},
               {INFINITY, 0x00}};
  for (const auto& c : cases) {
    unsigned char m[2] = {0xEE, 0xEE};
    ASSERT_EQ(_EncodeRangeCommand(c.range, m), 2);
    EXPECT_EQ(m[0], 0x00) << c.range;
    EXPECT_EQ(m[1], c.byte) << c.range;
  }
}

TEST(Encoders, DCOffsetCodeTruncatesTowardZero) {
  const struct {
    int mv;
    unsigned char hi, lo;
  } cases[] = {{-1, 0x07, 0xFF}, {1, 0x08, 0x02}, {0, 0x08, 0x00},
               {300, 0x0A, 0x58}, {-300, 0x05, 0xA9}, {1000, 0x0F, 0xD0}, {-1000, 0x00, 0x31}};
  for (const auto& c : cases) {
    unsigned char m[3];
    ASSERT_EQ(_EncodeDCOffsetCommand(c.mv, m), 3);
    EXPECT_THAT(m, ElementsAre(0x05, c.hi, c.lo)) << c.mv;
  }
  // 2d + 0.5 truncated: 2d for d >= 0, one above 2d below zero.
  for (int d = -1000; d <= 1000; ++d)
    ASSERT_EQ(_DCOffsetCode(d), 2048 + 2 * d + (d < 0 ? 1 : 0)) << d;
  // Far outside the settable range the conversion still stays defined.
  EXPECT_EQ(_DCOffsetCode(INT_MAX) & 0xFFFF, (2048 + 4294967294LL) & 0xFFFF);
  EXPECT_EQ(_DCOffsetCode(INT_MIN) & 0xFFFF, (2048 - 4294967295LL) & 0xFFFF);
}

TEST(Senders, EachCommandIsWrittenWholeAndOnlyWithAnOpenPort) {
  emu::VirtualInstrument vi;
  _SendStopCommand();  // no port yet: nothing may go out
  _SendRelayCommand(1);
  ASSERT_TRUE(_OpenPort(vi.path().c_str()));
  _SendRelayCommand(0x4321);
  _SendRangeCommand(5.0);
  _SendDCOffsetCommand(-300);
  _SendBaselineResetCommand();
  _SendOffsetClearCommand();
  _SendStopCommand();
  _SendCloseCommand();
  ASSERT_TRUE(vi.wait_for_messages(7, milliseconds(2000)));
  const std::vector<Bytes> expected = {{0x07, 0x00, 0x43, 0x21, 0x00, 0x00},
                                       {0x00, 0x05},
                                       {0x05, 0x05, 0xA9},
                                       {0x05, 0x80, 0x00},
                                       {0x06},
                                       {'S'},
                                       {'C'}};
  std::vector<Bytes> got;
  for (const auto& m : vi.messages()) got.push_back(m.bytes);
  EXPECT_EQ(got, expected);
  _ClosePort();
}

TEST(ADReplyScan, TakesTheTwoBytesAfterTheFirstCompleteMarker) {
  const struct {
    Bytes reply;
    int offset, value;
  } cases[] = {
      {{0x4E, 0x00, 0xAD, 0x01, 0x2C}, 2, 300},  // a next-packet request came first
      {{0xAD, 0x12}, -1, 0},                      // too short
      {{0x00, 0x00, 0xAD, 0x01}, -1, 0},          // only one byte after the marker
      {{0xAD, 0xFF, 0xFF}, 0, 65535},
      {{0xAD, 0xAD, 0x01, 0x02}, 0, 0xAD01},      // the first marker wins
      {{0x01, 0x02, 0x03, 0x04}, -1, 0},
      {{}, -1, 0},
  };
  for (const auto& c : cases) {
    const int n = static_cast<int>(c.reply.size());
    EXPECT_EQ(_FindADReply(c.reply.data(), n), c.offset);
    EXPECT_EQ(_ScanADReply(c.reply.data(), n), c.value);
  }
  const unsigned char r[3] = {0xAD, 0x01, 0x2C};
  EXPECT_EQ(_FindADReply(r, -1), -1);  // a failed read
  EXPECT_EQ(_ScanADReply(r, -1), 0);
  EXPECT_EQ(_ScanADReply(r, 2), 0);    // only the count is trusted
}

// The receive thread frames the stream by the inbound table: a byte that
// begins none of its messages is dropped, each message is consumed whole.
TEST(InboundFraming, TheTableNamesEveryMessageTheParserTakes) {
  const unsigned char starts[] = {'S', '2', '4', 'N', 0xAD};
  for (int b = 0; b < 256; ++b) {
    const unsigned char first = static_cast<unsigned char>(b);
    const bool starts_message = std::count(std::begin(starts), std::end(starts), first) > 0;
    EXPECT_EQ(_InboundMessage(first) != nullptr, starts_message) << b;
    s_DataBegin = s_DataEnd = s_USBRxData;
    s_OwedBytes = 0;
    ASSERT_EQ(_USBDataAppend(&first, 1), 1);
    _USBDataParse();
    // A request is taken on its first byte (the second is owed); the others wait.
    const bool waits = starts_message && first != kNextPacketRequest;
    EXPECT_EQ(s_DataEnd - s_DataBegin, waits ? 1 : 0) << b;
  }
  const int lengths[] = {15, 7, 8, 2, 3};
  for (std::size_t i = 0; i < 5; ++i) {
    ASSERT_EQ(kInbound[i].first, starts[i]);
    ASSERT_EQ(kInbound[i].length, lengths[i]);
    Bytes m(static_cast<std::size_t>(lengths[i]) + 1, 0x00);
    m[0] = starts[i];
    m.back() = 0x61;  // begins nothing: dropped once the message is consumed
    s_DataBegin = s_DataEnd = s_USBRxData;
    s_OwedBytes = 0;
    ASSERT_EQ(_USBDataAppend(m.data(), static_cast<int>(m.size())), static_cast<int>(m.size()));
    EXPECT_TRUE(_USBDataParse()) << kInbound[i].name;
    EXPECT_EQ(*s_DataBegin, 0x61) << kInbound[i].name;
    EXPECT_EQ(s_OwedBytes, 0) << kInbound[i].name;
  }
}

TEST(VersionReport, ComparedAsZeroTerminatedTextOfUnsignedBytes) {
  const struct {
    const char* seven;
    bool raises;
  } cases[] = {{"4000002", true},  {"4000010", true},  {"4100000", true},
               {"4000001", false}, {"4000000", false}, {"400\0" "999", false},
               {"4\xFF" "00000", true}, {"3999999", false}};
  for (const auto& c : cases) {
    unsigned char b[7];
    std::memcpy(b, c.seven, 7);
    EXPECT_EQ(_VersionReportRaisesRange(b), c.raises) << c.seven;
  }
}
