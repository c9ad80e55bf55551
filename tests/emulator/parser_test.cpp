// Host messages: framing by first byte and fixed length across any read
// boundary, what is recorded, and the front-end state the commands leave.
#include <gtest/gtest.h>

#include "emulator/host_parser.h"
#include "support/packets.h"
#include "support/terminal.h"

using namespace std::chrono_literals;
using orna::emu::Bytes;
using orna::emu::Config;
using orna::emu::HostMessage;
using orna::emu::HostParser;
using orna::emu::Kind;
using orna::emu::VirtualInstrument;
using orna::test::HostLine;
using orna::test::MakePacket;
using orna::test::Word;

namespace {

struct Expected {
  Kind kind;
  Bytes bytes;
};

// Every host message kind once, then a byte that begins none.
std::vector<Expected> AllKinds() {
  Bytes packet = MakePacket(0, [](int i) { return Word{static_cast<std::uint8_t>(i % 16), 0x5A}; });
  return {
      {Kind::IdentifyProbe, {0x55}},
      {Kind::LegacyProbe, {0xAA}},
      {Kind::HWInfoRequest, {0x12, 0x55, 0xAA, 0x00, 0x00}},
      {Kind::ADRequest, {0xAD, 0x00, 0x01, 0x00}},
      {Kind::Relay, {0x07, 0x00, 0x43, 0x21, 0x00, 0x00}},
      {Kind::Range, {0x00, 0x03}},
      {Kind::DCOffset, {0x05, 0x0A, 0x58}},
      {Kind::SamplePacket, packet},
      {Kind::DCOffset, {0x05, 0x80, 0x00}},
      {Kind::OffsetClear, {0x06}},
      {Kind::Stop, {'S'}},
      {Kind::Close, {'C'}},
      {Kind::Unknown, {'N'}},
      {Kind::Unknown, {0xFF}},
  };
}

Bytes Concatenate(const std::vector<Expected>& msgs) {
  Bytes all;
  for (const auto& m : msgs) all.insert(all.end(), m.bytes.begin(), m.bytes.end());
  return all;
}

TEST(EmulatorParser, SplitsTheStreamWhereverItIsCut) {
  const auto expected = AllKinds();
  const Bytes all = Concatenate(expected);
  // One byte at a time, then in chunks of 2, 3, 7 and 1000 bytes: the same messages.
  for (std::size_t chunk : {1u, 2u, 3u, 7u, 1000u}) {
    HostParser parser;
    std::vector<std::pair<Kind, Bytes>> got;
    for (std::size_t pos = 0; pos < all.size(); pos += chunk) {
      auto part = parser.feed(all.data() + pos, std::min(chunk, all.size() - pos));
      got.insert(got.end(), part.begin(), part.end());
    }
    ASSERT_EQ(got.size(), expected.size()) << "chunk " << chunk;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].first, expected[i].kind) << "message " << i << ", chunk " << chunk;
      EXPECT_EQ(got[i].second, expected[i].bytes) << "message " << i << ", chunk " << chunk;
    }
    EXPECT_EQ(parser.pending(), 0u);
  }
}

// Over the line: the same stream written in odd pieces with pauses between
// them, so that the instrument really reads it piecemeal.
TEST(EmulatorParser, RecordsEveryMessageWrittenInOddPieces) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  ASSERT_TRUE(host.ok());
  std::this_thread::sleep_for(30ms);
  const auto expected = AllKinds();
  const Bytes all = Concatenate(expected);
  const std::size_t pieces[] = {1, 4, 2, 9, 3, 1001, 1, 2047, 13, 5};
  std::size_t pos = 0;
  for (std::size_t i = 0; pos < all.size(); ++i) {
    std::size_t n = std::min(pieces[i % 10], all.size() - pos);
    ASSERT_TRUE(host.write(all.data() + pos, n));
    pos += n;
    std::this_thread::sleep_for(3ms);
  }
  ASSERT_TRUE(vi.wait_for_messages(expected.size(), 2s));
  auto m = vi.messages();
  ASSERT_EQ(m.size(), expected.size());
  for (std::size_t i = 0; i < m.size(); ++i) {
    EXPECT_EQ(m[i].kind, expected[i].kind) << "message " << i;
    EXPECT_EQ(m[i].bytes, expected[i].bytes) << "message " << i;
    if (i > 0) {
      EXPECT_GE(m[i].t, m[i - 1].t);
    }
  }
  // Seconds since the instrument was made: after the pause, within the test.
  EXPECT_GE(m.front().t, 0.03);
  EXPECT_LT(m.back().t, 2.0);

  auto c = vi.commands();
  ASSERT_EQ(c.size(), expected.size() - 1);
  for (const auto& msg : c) EXPECT_NE(msg.kind, Kind::SamplePacket);
  ASSERT_EQ(vi.packets().size(), 1u);
  EXPECT_EQ(vi.packets()[0], expected[7].bytes);
  EXPECT_EQ(vi.stats().unknown_bytes, 2u);
  EXPECT_EQ(vi.stats().packets_received, 1u);
  EXPECT_EQ(vi.message_count(), expected.size());
  EXPECT_EQ(vi.packet_count(), 1u);

  // clear() forgets the record but keeps the counts of the stats.
  vi.clear();
  EXPECT_TRUE(vi.messages().empty());
  EXPECT_TRUE(vi.packets().empty());
  EXPECT_EQ(vi.message_count(), 0u);
  EXPECT_EQ(vi.packet_count(), 0u);
  EXPECT_EQ(vi.stats().packets_received, 1u);
}

TEST(EmulatorParser, FrontEndFollowsTheCommands) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  EXPECT_EQ(vi.relay_word(), 0u);
  EXPECT_EQ(vi.range_byte(), -1);
  EXPECT_EQ(vi.dc_offset_code(), -1);
  EXPECT_FALSE(vi.baseline_reset());
  EXPECT_FALSE(vi.streaming());

  auto send = [&](const Bytes& b) {
    std::size_t before = vi.message_count();
    ASSERT_TRUE(host.write(b));
    ASSERT_TRUE(vi.wait_for_messages(before + 1, 1s));
  };
  send({0x07, 0x12, 0x7F, 0x60, 0x00, 0x00});
  EXPECT_EQ(vi.relay_word(), 0x127F60u);
  send({0x00, 0x04});
  EXPECT_EQ(vi.range_byte(), 4);
  send({0x00, 0xFE});  // the byte as sent, unsigned
  EXPECT_EQ(vi.range_byte(), 254);
  send({0x05, 0x05, 0xA9});
  EXPECT_EQ(vi.dc_offset_code(), 1449);
  send({0x05, 0x80, 0x00});  // baseline reset leaves the offset code alone
  EXPECT_TRUE(vi.baseline_reset());
  EXPECT_EQ(vi.dc_offset_code(), 1449);
  send({0x06});
  EXPECT_FALSE(vi.baseline_reset());
  EXPECT_EQ(vi.dc_offset_code(), -1);
  send({0x05, 0x08, 0x00});
  EXPECT_EQ(vi.dc_offset_code(), 2048);

  send(MakePacket(0, [](int) { return Word{0x08, 0x00}; }));
  EXPECT_TRUE(vi.streaming());
  send({'S'});
  EXPECT_FALSE(vi.streaming());
  send(MakePacket(50, [](int) { return Word{0x08, 0x00}; }));
  EXPECT_TRUE(vi.streaming());
  send({'C'});
  EXPECT_FALSE(vi.streaming());
  EXPECT_EQ(vi.relay_word(), 0x127F60u);  // stop and close leave the relays
}

TEST(EmulatorParser, PacketBytesCanBeLeftUnrecorded) {
  Config c;
  c.record_packets = false;
  c.record_samples = false;
  VirtualInstrument vi(c);
  HostLine host(vi.path());
  ASSERT_TRUE(host.write(MakePacket(0, [](int) { return Word{0x08, 0x00}; })));
  ASSERT_TRUE(host.write(Bytes{0x06}));
  ASSERT_TRUE(vi.wait_for_messages(2, 1s));
  EXPECT_EQ(vi.packet_count(), 1u);
  EXPECT_TRUE(vi.packets().empty());
  ASSERT_EQ(vi.messages().size(), 1u);
  EXPECT_EQ(vi.messages()[0].kind, Kind::OffsetClear);
  vi.step(1500);
  EXPECT_EQ(vi.stats().samples_played, 1500u);
  EXPECT_TRUE(vi.samples().empty());
}

}  // namespace
