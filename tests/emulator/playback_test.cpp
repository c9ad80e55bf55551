// Sample packets: frame checks, sequence gaps and their reports, decoding of
// the played samples, the requests for more, underruns and the clock modes.
#include <gtest/gtest.h>

#include "support/packets.h"
#include "support/terminal.h"

using namespace std::chrono_literals;
using orna::emu::Bytes;
using orna::emu::Config;
using orna::emu::Sample;
using orna::emu::VirtualInstrument;
using orna::test::HostLine;
using orna::test::MakePacket;
using orna::test::MidScalePacket;
using orna::test::Word;

namespace {

const Bytes kRequest = {'N', 0x00};

Bytes Report(std::uint8_t expected, std::uint8_t received) {
  Bytes r(15, 0x00);
  r[0] = 'S';
  r[1] = expected;
  r[2] = received;
  return r;
}

// Writes a packet and waits until the instrument has taken it in.
void Deliver(VirtualInstrument& vi, HostLine& host, const Bytes& packet) {
  std::size_t before = vi.packet_count();
  ASSERT_TRUE(host.write(packet));
  ASSERT_TRUE(vi.wait_for_packets(before + 1, 2s));
}

TEST(EmulatorPlayback, SequenceRunsOnAcrossPacketsAndRestartsWithEachStream) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  Deliver(vi, host, MidScalePacket(230));  // frames 230..255, 0..23
  Deliver(vi, host, MidScalePacket(24));
  EXPECT_EQ(vi.stats().sequence_gaps, 0u);
  ASSERT_TRUE(host.write(Bytes{'S'}));
  Deliver(vi, host, MidScalePacket(7));  // a new stream may start anywhere
  EXPECT_EQ(vi.stats().sequence_gaps, 0u);
  EXPECT_EQ(host.read_for(30ms), Bytes{});  // nothing to report, nothing asked

  Deliver(vi, host, MidScalePacket(100));  // 57 was due
  EXPECT_EQ(vi.stats().sequence_gaps, 1u);
  EXPECT_EQ(vi.stats().sequence_reports_sent, 1u);
  EXPECT_EQ(host.read_n(15, 1s), Report(57, 100));
  Deliver(vi, host, MidScalePacket(150));  // continues from the new numbers
  EXPECT_EQ(vi.stats().sequence_gaps, 1u);
  EXPECT_EQ(vi.stats().header_errors, 0u);
}

TEST(EmulatorPlayback, OneBadFrameNumberBreaksTheSequenceTwice) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  Bytes p = MidScalePacket(0);
  p[10 * 64 + 1] = 200;  // frame 10 claims 200; frame 11 (11) does not follow it
  Deliver(vi, host, p);
  EXPECT_EQ(vi.stats().sequence_gaps, 2u);
  Bytes both = Report(10, 200);
  Bytes second = Report(201, 11);
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(host.read_n(30, 1s), both);
}

TEST(EmulatorPlayback, CountsFramesWithBadHeaderBytes) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  Bytes p = MidScalePacket(0);
  p[3 * 64] = 0x02;        // frame 3: byte 0 not 0x01
  p[322] = 0x00;           // frame 5: the 'E' is missing
  p[7 * 64 + 3] = 0x01;    // frame 7: byte 3 not 0
  p[9 * 64 + 2] = 'E';     // frame 9: 'E' in the wrong frame
  p[12 * 64] = 0x00;       // frame 12: two bad bytes, one bad frame
  p[12 * 64 + 3] = 0x80;
  Deliver(vi, host, p);
  EXPECT_EQ(vi.stats().header_errors, 5u);
  EXPECT_EQ(vi.stats().sequence_gaps, 0u);
  EXPECT_EQ(vi.stats().packets_received, 1u);
  // A faulty packet is still played.
  vi.step(1500);
  EXPECT_EQ(vi.stats().samples_played, 1500u);
}

TEST(EmulatorPlayback, SteppedSamplesCarryCodesFlagsTimesAndMillivolts) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  const Word words[] = {
      {0x08, 0x00},  // 2048: 0 mV
      {0x0F, 0xD0},  // 4048: +full scale (5 mV before any range command)
      {0x00, 0x30},  // 48: -full scale
      {0x48, 0x0A},  // high range, 2058: 10 codes = 5 mV
      {0xC8, 0x0A},  // high range and half step
      {0x88, 0x00},  // half step on the normal range
      {0x3F, 0xFF},  // bits 4-5 are not part of the code: 4095
      {0x40, 0x00},  // high range, code 0: -1024 mV
  };
  Deliver(vi, host, MakePacket(0, [&](int i) { return i < 8 ? words[i] : Word{0x08, 0x00}; }));
  EXPECT_EQ(vi.queued_samples(), 1500u);
  vi.step(10);
  EXPECT_EQ(vi.queued_samples(), 1490u);
  auto s = vi.samples();
  ASSERT_EQ(s.size(), 10u);
  const std::uint16_t codes[] = {2048, 4048, 48, 2058, 2058, 2048, 4095, 0, 2048, 2048};
  const bool range[] = {false, false, false, true, true, false, false, true, false, false};
  const bool half[] = {false, false, false, false, true, true, false, false, false, false};
  // Times in 0.1 ms ticks: two per sample, one for a half step.
  const int ticks[] = {0, 2, 4, 6, 8, 9, 10, 12, 14, 16};
  const double mV[] = {0.0, 5.0, -5.0, 5.0, 5.0, 0.0, 2047.0 / 2000.0 * 5.0, -1024.0, 0.0, 0.0};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(s[i].code, codes[i]) << i;
    EXPECT_EQ(s[i].range_flag, range[i]) << i;
    EXPECT_EQ(s[i].half_step, half[i]) << i;
    EXPECT_DOUBLE_EQ(s[i].t, ticks[i] * 0.0001) << i;
    EXPECT_DOUBLE_EQ(s[i].mV, mV[i]) << i;
  }
  vi.step(1490);
  auto st = vi.stats();
  EXPECT_EQ(st.samples_played, 1500u);
  EXPECT_EQ(st.packets_played, 1u);
  EXPECT_EQ(st.underruns, 0u);
  // The last sample starts after 1 497 whole and two half steps.
  EXPECT_DOUBLE_EQ(vi.samples().back().t, 2996 * 0.0001);
}

// The normal range follows the last range command; a baseline reset makes the
// range flag mean the normal range too. Samples are read with the front end
// in force when their packet arrived.
TEST(EmulatorPlayback, MillivoltsFollowRangeAndBaselineReset) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  auto packet = [](std::uint8_t seq) {
    return MakePacket(seq, [](int i) { return i % 2 ? Word{0x4F, 0xD0} : Word{0x0F, 0xD0}; });
  };
  auto first_two = [&] {
    vi.step(1500);
    auto s = vi.samples();
    vi.clear();
    return std::make_pair(s[0].mV, s[1].mV);
  };
  ASSERT_TRUE(host.write(Bytes{0x00, 0x02}));
  Deliver(vi, host, packet(0));
  ASSERT_TRUE(host.write(Bytes{0x00, 0x07}));  // after the packet: does not apply to it
  std::this_thread::sleep_for(20ms);
  auto v = first_two();
  EXPECT_DOUBLE_EQ(v.first, 2.0);      // 2000 codes on a 2 mV range
  EXPECT_DOUBLE_EQ(v.second, 1000.0);  // high range: 2 codes per mV

  Deliver(vi, host, packet(50));
  v = first_two();
  EXPECT_DOUBLE_EQ(v.first, 7.0);
  EXPECT_DOUBLE_EQ(v.second, 1000.0);

  ASSERT_TRUE(host.write(Bytes{0x05, 0x80, 0x00}));
  for (std::uint8_t seq : {100, 150}) {  // in force until cleared
    Deliver(vi, host, packet(seq));
    v = first_two();
    EXPECT_DOUBLE_EQ(v.first, 7.0);
    EXPECT_DOUBLE_EQ(v.second, 7.0);  // range flag under a baseline reset: normal range
  }

  ASSERT_TRUE(host.write(Bytes{0x06}));
  Deliver(vi, host, packet(200));
  v = first_two();
  EXPECT_DOUBLE_EQ(v.second, 1000.0);
}

TEST(EmulatorPlayback, OlderFirmwarePlaysVariableModeOnFourMillivolts) {
  // Code 2048 + 1000: half the full scale. Variable mode as the instrument
  // sees it is relay bit 0 with an offset programmed.
  for (const Config& config : {Config(), orna::emu::OldFirmware()}) {
    VirtualInstrument vi(config);
    HostLine host(vi.path());
    const Bytes packet = MakePacket(0, [](int) { return Word{0x0B, 0xE8}; });
    auto first = [&] {
      vi.step(1500);
      const double mV = vi.samples().at(0).mV;
      vi.clear();
      return mV;
    };
    Deliver(vi, host, packet);
    EXPECT_DOUBLE_EQ(first(), 2.5);  // the 5 mV default
    ASSERT_TRUE(host.write(Bytes{0x07, 0x00, 0x00, 0x21, 0x00, 0x00, 0x05, 0x0B, 0xE8}));
    Deliver(vi, host, MakePacket(50, [](int) { return Word{0x0B, 0xE8}; }));
    EXPECT_DOUBLE_EQ(first(), config.firmware_version.empty() ? 2.0 : 2.5);
  }
}

TEST(EmulatorPlayback, AsksForPacketsOnlyAsPlayingEmptiesTheQueue) {
  VirtualInstrument vi;  // holds 2 packets
  HostLine host(vi.path());
  Deliver(vi, host, MidScalePacket(0));
  // Nothing plays without a clock, so nothing is asked for.
  EXPECT_EQ(host.read_for(30ms), Bytes{});
  vi.step(1);  // 1 queued + 0 asked < 2
  EXPECT_EQ(host.read_for(30ms), kRequest);
  vi.step(1);  // 1 queued + 1 asked
  EXPECT_EQ(host.read_for(20ms), Bytes{});
  Deliver(vi, host, MidScalePacket(50));
  vi.step(1497);  // the first packet is still not over
  EXPECT_EQ(host.read_for(20ms), Bytes{});
  vi.step(1);  // now it is: one more
  EXPECT_EQ(host.read_for(30ms), kRequest);
  vi.step(3000);  // plays the second packet, then runs dry
  EXPECT_EQ(host.read_for(30ms), kRequest);  // 0 queued + 2 asked
  auto st = vi.stats();
  EXPECT_EQ(st.requests_sent, 3u);
  EXPECT_EQ(st.samples_played, 3000u);
  EXPECT_EQ(st.packets_played, 2u);
  EXPECT_EQ(st.underruns, 1500u);
}

TEST(EmulatorPlayback, LargerQueueAsksForEveryMissingPacketAtOnce) {
  Config c;
  c.queue_packets = 3;
  VirtualInstrument vi(c);
  HostLine host(vi.path());
  Deliver(vi, host, MidScalePacket(0));
  vi.step(1);
  EXPECT_EQ(host.read_for(30ms), (Bytes{'N', 0x00, 'N', 0x00}));
  EXPECT_EQ(vi.stats().requests_sent, 2u);
}

TEST(EmulatorPlayback, StopEndsTheStreamButQueuedSamplesStillPlay) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  vi.step(100);  // nothing streams yet: no underrun
  EXPECT_EQ(vi.stats().underruns, 0u);
  Deliver(vi, host, MidScalePacket(0));
  ASSERT_TRUE(host.write(Bytes{'S'}));
  ASSERT_TRUE(vi.wait_for_messages(2, 1s));
  EXPECT_FALSE(vi.streaming());
  vi.step(1600);
  auto st = vi.stats();
  EXPECT_EQ(st.samples_played, 1500u);
  EXPECT_EQ(st.underruns, 0u);
  EXPECT_EQ(st.requests_sent, 0u);
  EXPECT_EQ(host.read_for(20ms), Bytes{});
  // The clock went on: 100 idle samples came first.
  EXPECT_DOUBLE_EQ(vi.samples().front().t, 200 * 0.0001);
}

TEST(EmulatorPlayback, RealTimeClockPlaysAtTheSetSpeed) {
  Config c;
  c.queue_packets = 3;  // room for a slow host on a busy machine
  VirtualInstrument vi(c);
  HostLine host(vi.path());
  Deliver(vi, host, MidScalePacket(0));
  const double speed = 2.0;  // 10 000 samples/s: a packet lasts 150 ms
  auto start = std::chrono::steady_clock::now();
  vi.start_playback(speed);
  // The host answers every request at once, as the library does.
  std::uint8_t seq = 50;
  std::size_t answered = 0;
  while (std::chrono::steady_clock::now() - start < 400ms) {
    Bytes got = host.read_for(2ms);
    for (std::size_t i = 0; i + 1 < got.size(); i += 2) {
      ASSERT_EQ(got[i], 'N');
      ASSERT_TRUE(host.write(MidScalePacket(seq)));
      seq = static_cast<std::uint8_t>(seq + 50);
      ++answered;
    }
  }
  vi.stop_playback();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::size_t late = host.read_for(20ms).size() / 2;  // asked for after the loop
  auto st = vi.stats();
  EXPECT_LE(static_cast<double>(st.samples_played), elapsed * 5000 * speed + 2);
  EXPECT_GE(static_cast<double>(st.samples_played), 0.4 * 5000 * speed * 0.7);
  EXPECT_EQ(st.underruns, 0u);
  EXPECT_EQ(st.sequence_gaps, 0u);
  EXPECT_EQ(st.requests_sent, answered + late);
  EXPECT_GE(answered, 3u);
  auto s = vi.samples();
  ASSERT_EQ(s.size(), st.samples_played);
  for (std::size_t i = 1; i < s.size(); ++i) ASSERT_NEAR(s[i].t - s[i - 1].t, 0.0002, 1e-9) << i;
  // A stopped clock plays nothing more.
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(vi.stats().samples_played, st.samples_played);
}

TEST(EmulatorPlayback, FloodAnswersEveryPacketAtOnce) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  Deliver(vi, host, MidScalePacket(0));
  vi.start_flood();  // plays the waiting packet and asks for one more
  EXPECT_EQ(host.read_n(2, 1s), kRequest);
  for (int k = 1; k <= 5; ++k) {
    Deliver(vi, host, MidScalePacket(static_cast<std::uint8_t>(50 * k)));
    EXPECT_EQ(host.read_n(2, 1s), kRequest) << k;
  }
  EXPECT_EQ(host.read_for(20ms), Bytes{});  // one request per packet, no more
  auto st = vi.stats();
  EXPECT_EQ(st.requests_sent, 6u);
  EXPECT_EQ(st.packets_played, 6u);
  EXPECT_EQ(st.samples_played, 9000u);
  EXPECT_EQ(st.underruns, 0u);
  EXPECT_EQ(vi.queued_samples(), 0u);
}

TEST(EmulatorPlayback, DecodePacketGivesCodesAndFlagsOfWholeFrames) {
  Bytes p = MakePacket(0, [](int i) {
    return Word{static_cast<std::uint8_t>(((i % 4) << 6) | ((i >> 8) & 0x0F)), static_cast<std::uint8_t>(i & 0xFF)};
  });
  auto s = orna::emu::DecodePacket(p);
  ASSERT_EQ(s.size(), 1500u);
  for (int i = 0; i < 1500; ++i) {
    ASSERT_EQ(s[i].code, i) << i;
    ASSERT_EQ(s[i].range_flag, (i % 4) == 1 || (i % 4) == 3) << i;
    ASSERT_EQ(s[i].half_step, (i % 4) >= 2) << i;
    ASSERT_EQ(s[i].t, 0.0);
    ASSERT_EQ(s[i].mV, 0.0);
  }
  p.resize(2 * 64 + 10);
  EXPECT_EQ(orna::emu::DecodePacket(p).size(), 60u);
}

}  // namespace
