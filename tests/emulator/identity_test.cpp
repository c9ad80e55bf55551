// Identification exchanges: what the instrument answers to each probe and
// request in each identity mode, and only that.
#include <gtest/gtest.h>
#include <sys/select.h>

#include "support/terminal.h"

using namespace std::chrono_literals;
using orna::emu::Bytes;
using orna::emu::Config;
using orna::emu::IdentifyMode;
using orna::emu::Kind;
using orna::emu::VirtualInstrument;
using orna::test::HostLine;

namespace {

const Bytes kProbe = {0x55};
const Bytes kLegacyProbe = {0xAA};
const Bytes kHWInfoRequest = {0x12, 0x55, 0xAA, 0x00, 0x00};
const Bytes kADRequest = {0xAD, 0x00, 0x01, 0x00};

// Sends one request, waits until the instrument has handled it (its reply,
// if any, is then on the line) and collects what arrives.
Bytes Exchange(VirtualInstrument& vi, HostLine& host, const Bytes& request) {
  const std::size_t before = vi.message_count();
  EXPECT_TRUE(host.write(request));
  EXPECT_TRUE(vi.wait_for_messages(before + 1, 2s));
  return host.read_for(30ms);
}

TEST(EmulatorIdentity, NormalModeAnswersOnlyTheIdentifyProbe) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(Exchange(vi, host, kProbe), (Bytes{'S', 'N', '0', '0', '4', '2', 0}));
  EXPECT_EQ(Exchange(vi, host, kLegacyProbe), Bytes{});
  auto m = vi.messages();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].kind, Kind::IdentifyProbe);
  EXPECT_EQ(m[1].kind, Kind::LegacyProbe);
}

// The host reads a reply with one read after waiting for the first byte; the
// whole reply must be there by then.
TEST(EmulatorIdentity, ReplyReachesTheHostInOnePiece) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  ASSERT_TRUE(host.write(kHWInfoRequest));
  std::this_thread::sleep_for(20ms);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(host.fd(), &readable);
  timeval timeout{0, 100000};
  ASSERT_EQ(select(host.fd() + 1, &readable, nullptr, nullptr, &timeout), 1);
  std::uint8_t buf[64];
  ASSERT_EQ(::read(host.fd(), buf, sizeof buf), 64);
  EXPECT_EQ(Bytes(buf, buf + 64), orna::emu::DefaultHWInfoBlock());
}

TEST(EmulatorIdentity, LegacyModeIgnoresTheProbeAndAnswersTheLegacyProbe) {
  Config c;
  c.identify = IdentifyMode::Legacy;
  c.legacy_reply = {'O', 'R', 'N', 'Q', 'X'};
  VirtualInstrument vi(c);
  HostLine host(vi.path());
  EXPECT_EQ(Exchange(vi, host, kProbe), Bytes{});
  EXPECT_EQ(Exchange(vi, host, kLegacyProbe), (Bytes{'O', 'R', 'N', 'Q', 'X'}));
}

TEST(EmulatorIdentity, SilentModeAnswersNeitherProbeButStillServesRequests) {
  Config c;
  c.identify = IdentifyMode::Silent;
  c.ad_value = 0x1234;
  VirtualInstrument vi(c);
  HostLine host(vi.path());
  EXPECT_EQ(Exchange(vi, host, kProbe), Bytes{});
  EXPECT_EQ(Exchange(vi, host, kLegacyProbe), Bytes{});
  EXPECT_EQ(Exchange(vi, host, kADRequest), (Bytes{0xAD, 0x12, 0x34}));
  EXPECT_EQ(vi.message_count(), 3u);
}

TEST(EmulatorIdentity, LegacyFallbackLetsNormalModeAnswerBothProbes) {
  Config c;
  c.identify_reply = {'A', 'B', 'C'};  // too short to count as a serial number
  c.legacy_fallback = true;
  VirtualInstrument vi(c);
  HostLine host(vi.path());
  EXPECT_EQ(Exchange(vi, host, kProbe), (Bytes{'A', 'B', 'C'}));
  EXPECT_EQ(Exchange(vi, host, kLegacyProbe), (Bytes{'O', 'R', 'N', 'A'}));
}

TEST(EmulatorIdentity, HardwareInformationBlockAndItsVariants) {
  Bytes block = orna::emu::DefaultHWInfoBlock();
  ASSERT_EQ(block.size(), 64u);
  const Bytes expected_id = {'O', 'R', 0, 7, 15, 0x00, 0x2A, 23, 1, 4};
  EXPECT_EQ(Bytes(block.begin() + 6, block.begin() + 16), expected_id);
  for (std::size_t i = 0; i < 64; ++i) {
    if (i >= 6 && i < 16) continue;
    EXPECT_EQ(block[i], 0) << "byte " << i;
  }

  // A current firmware's version report follows the block; the older
  // firmware sends none.
  VirtualInstrument vi;
  HostLine host(vi.path());
  Bytes with_version = block;
  with_version.insert(with_version.end(), {'4', '0', '0', '0', '0', '0', '2', 0});
  EXPECT_EQ(Exchange(vi, host, kHWInfoRequest), with_version);
  vi.set_config(orna::emu::OldFirmware());
  EXPECT_EQ(Exchange(vi, host, kHWInfoRequest), block);

  Config c;  // no version report behind a reply that is no block
  c.hwinfo_reply = Bytes(63, 0x4F);
  vi.set_config(c);
  EXPECT_EQ(Exchange(vi, host, kHWInfoRequest), Bytes(63, 0x4F));

  c.answer_hwinfo = false;
  vi.set_config(c);
  EXPECT_EQ(Exchange(vi, host, kHWInfoRequest), Bytes{});
  EXPECT_EQ(vi.commands().size(), 4u);
  EXPECT_EQ(vi.commands()[3].bytes, kHWInfoRequest);
}

TEST(EmulatorIdentity, ADReplyCarriesTheValueMostSignificantByteFirst) {
  Config c;
  c.ad_value = 300;
  VirtualInstrument vi(c);
  HostLine host(vi.path());
  EXPECT_EQ(Exchange(vi, host, kADRequest), (Bytes{0xAD, 0x01, 0x2C}));
  c.ad_value = 0xFF00;
  vi.set_config(c);
  EXPECT_EQ(Exchange(vi, host, kADRequest), (Bytes{0xAD, 0xFF, 0x00}));
  // A configured reply replaces the encoded value, whatever it holds.
  c.ad_reply = {0x4E, 0x00, 0xAD, 0x01};
  vi.set_config(c);
  EXPECT_EQ(Exchange(vi, host, kADRequest), (Bytes{0x4E, 0x00, 0xAD, 0x01}));
}

// One instrument serves several connections: the host may close and reopen
// its port. Bytes the previous host left unread are dropped when it sends the
// close command, so they do not precede the next identify reply.
TEST(EmulatorIdentity, SurvivesReopeningAndDropsWhatTheLastHostLeftUnread) {
  VirtualInstrument vi;
  {
    HostLine first(vi.path());
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(Exchange(vi, first, kProbe).size(), 7u);
    vi.send_status();
    vi.send_next_request();
    ASSERT_TRUE(first.write(Bytes{'C'}));
    ASSERT_TRUE(vi.wait_for_messages(2, 1s));
  }
  HostLine second(vi.path());
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(Exchange(vi, second, kProbe), (Bytes{'S', 'N', '0', '0', '4', '2', 0}));
  EXPECT_EQ(Exchange(vi, second, kADRequest), (Bytes{0xAD, 0x00, 0x00}));
}

// Without a close command (a host that went away), the probe itself drops
// the leftovers before it is answered.
TEST(EmulatorIdentity, ProbeDropsLeftoversOfAHostThatVanished) {
  VirtualInstrument vi;
  {
    HostLine first(vi.path());
    vi.send({'N', 0x00, '2', 0, 0, 0, 0, 0, 0});
    std::this_thread::sleep_for(10ms);
  }
  HostLine second(vi.path());
  ASSERT_TRUE(second.write(kProbe));
  ASSERT_TRUE(vi.wait_for_messages(1, 1s));  // handled, so answered
  EXPECT_EQ(second.read_for(30ms), (Bytes{'S', 'N', '0', '0', '4', '2', 0}));
}

}  // namespace
