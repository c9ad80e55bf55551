// The port scan, the identification handshake and the identity texts.
#include <gtest/gtest.h>

#include "support/instrument.h"
#include "support/link.h"
#include "support/process.h"
#include "support/terminal.h"
#include "support/wait.h"

using namespace orna;
using namespace orna::test;
using K = emu::Kind;

namespace {

emu::Bytes Block(std::vector<std::uint8_t> bytes6to15) {
  emu::Bytes b(64, 0x00);
  std::copy(bytes6to15.begin(), bytes6to15.end(), b.begin() + 6);
  return b;
}

int Connect(const emu::Config& cfg, emu::VirtualInstrument*& vi) {
  delete vi;
  vi = new emu::VirtualInstrument(cfg);
  ScanPaths scan({vi->path()});
  return InitORNA();
}

std::string Text(const char* s) { return s != nullptr ? s : "(null)"; }

}  // namespace

TEST(Handshake, SerialNumberFromEitherProbe) {
  using M = emu::IdentifyMode;
  const struct {
    M mode;
    emu::Bytes identify, legacy;
    int result;
    const char* serial;
    std::vector<K> exchange;
  } cases[] = {
      {M::Normal, {'S', 'N', '0', '0', '4', '2', 0, 'x'}, {}, 1, "SN0042", {K::IdentifyProbe, K::HWInfoRequest}},
      {M::Normal, {'A', 'B', 'C', 'D'}, {}, 1, "ABCD", {K::IdentifyProbe, K::HWInfoRequest}},
      // Three bytes are no answer: the legacy probe follows.
      {M::Normal, {'A', 'B', 'C'}, {'O', 'R', 'N', 0}, 1, "TALVEN ORNA",
       {K::IdentifyProbe, K::LegacyProbe, K::HWInfoRequest}},
      {M::Legacy, {}, {'O', 'R', 'N', 'A', 'B'}, 1, "TALVEN ORNA",
       {K::IdentifyProbe, K::LegacyProbe, K::HWInfoRequest}},
      {M::Legacy, {}, {'O', 'R', 'N'}, 0, "(null)", {K::IdentifyProbe, K::LegacyProbe}},
      {M::Legacy, {}, {'O', 'R', 'X', 'A'}, 0, "(null)", {K::IdentifyProbe, K::LegacyProbe}},
      {M::Silent, {}, {}, 0, "(null)", {K::IdentifyProbe, K::LegacyProbe}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Text(c.serial));
    _SetIdentityText(g_SerialNo, nullptr, 0);
    emu::Config cfg;
    cfg.identify = c.mode;
    cfg.identify_reply = c.identify;
    cfg.legacy_reply = c.legacy;
    cfg.legacy_fallback = true;
    emu::VirtualInstrument vi(cfg);
    const int fds = OpenFds();
    ScanPaths scan({vi.path()});
    EXPECT_EQ(InitORNA(), c.result);
    EXPECT_EQ(Text(GetSerialNo()), c.serial);
    ASSERT_TRUE(vi.wait_for_messages(c.exchange.size(), milliseconds(2000)));
    EXPECT_EQ(Kinds(vi), c.exchange);
    EXPECT_EQ(OpenFds(), fds + c.result);  // a rejected port is closed again
    CloseLink();
  }
}

TEST(Handshake, HardwareInformationBlockSetsOrClearsTheTexts) {
  emu::VirtualInstrument* vi = nullptr;
  emu::Config cfg;
  ASSERT_EQ(Connect(cfg, vi), 1);
  EXPECT_STREQ(GetHWInfo(), "WO1507042");
  EXPECT_STREQ(GetHWVersion(), "2.3");
  EXPECT_STREQ(GetFWVersion(), "1.4");
  CloseLink();

  // Wrong letters reject the port: the texts of the earlier connection stay,
  // the serial number of the rejected try included.
  cfg.identify_reply = {'N', 'E', 'W', '1', 0};
  for (auto letters : {std::pair<int, int>{'X', 'R'}, {'O', 'P'}, {'o', 'R'}}) {
    cfg.hwinfo_reply = Block({std::uint8_t(letters.first), std::uint8_t(letters.second), 20, 11, 21, 1, 0x2C, 9, 2, 5});
    EXPECT_EQ(Connect(cfg, vi), 0);
    EXPECT_EQ(g_hFile, -1);
    EXPECT_STREQ(GetSerialNo(), "SN0042");
    EXPECT_STREQ(GetHWInfo(), "WO1507042");
  }
  cfg.hwinfo_reply = Block({'O', 'Q', 20, 11, 21, 1, 0x2C, 9, 2, 5});
  ASSERT_EQ(Connect(cfg, vi), 1);
  EXPECT_STREQ(GetHWInfo(), "WOQ2011-210300");
  EXPECT_STREQ(GetHWVersion(), "0.9");
  EXPECT_STREQ(GetFWVersion(), "2.5");
  CloseLink();

  // A reply of another length, or none: connected, without the three texts.
  for (int n : {63, 10, -1}) {
    cfg.answer_hwinfo = n >= 0;
    cfg.hwinfo_reply = emu::DefaultHWInfoBlock();
    cfg.hwinfo_reply.resize(n >= 0 ? n : 64);
    ASSERT_EQ(Connect(cfg, vi), 1);
    EXPECT_EQ(GetHWInfo(), nullptr);
    EXPECT_EQ(GetFWVersion(), nullptr);
    EXPECT_EQ(GetHWVersion(), nullptr);
    CloseLink();
  }
  delete vi;
}

TEST(Handshake, IdentityPointersStayValidAcrossConnections) {
  emu::VirtualInstrument* vi = nullptr;
  emu::Config cfg;
  ASSERT_EQ(Connect(cfg, vi), 1);
  const char* serial = GetSerialNo();
  const char* hwinfo = GetHWInfo();
  CloseLink();
  cfg.identify_reply = {'S', 'N', '7', '7', '7', '7', '7', '7', 0};
  cfg.hwinfo_reply = Block({'O', 'Q', 20, 11, 21, 1, 0x2C, 9, 2, 5});
  ASSERT_EQ(Connect(cfg, vi), 1);
  EXPECT_EQ(GetSerialNo(), serial);
  EXPECT_EQ(GetHWInfo(), hwinfo);
  EXPECT_STREQ(serial, "SN777777");
  EXPECT_STREQ(hwinfo, "WOQ2011-210300");
  CloseLink();
  delete vi;
}

TEST(IdentityFormat, ShortAndLongHardwareInformationAndVersions) {
  const struct {
    std::vector<std::uint8_t> b6to15;
    const char *hwinfo, *fw, *hw;
  } cases[] = {
      {{'O', 'R', 0, 7, 15, 0x00, 0x2A, 23, 1, 4}, "WO1507042", "1.4", "2.3"},
      {{'O', 'R', 20, 11, 16, 0x01, 0x2C, 255, 1, 4}, "WO1611300", "1.4", "25.5"},
      {{'O', 'R', 20, 11, 17, 0x01, 0x2C, 9, 1, 4}, "WOR2011-170300", "1.4", "0.9"},
      {{'O', 'Q', 5, 3, 200, 0x00, 0x05, 100, 255, 255}, "WOQ0503-2000005", "255.255", "10.0"},
      {{'O', 'R', 0, 123, 0, 0xFF, 0xFF, 10, 0, 0}, "WO012365535", "0.0", "1.0"},
  };
  for (const auto& c : cases) {
    unsigned char block[64] = {};
    std::copy(c.b6to15.begin(), c.b6to15.end(), block + 6);
    char hwinfo[32], fw[8], hw[8];
    _FormatHWInfo(block, hwinfo, fw, hw);
    EXPECT_STREQ(hwinfo, c.hwinfo);
    EXPECT_STREQ(fw, c.fw);
    EXPECT_STREQ(hw, c.hw);
  }
}

TEST(PortScan, TriesThePathsInOrderAndClosesTheFailures) {
  emu::Config silent;
  silent.identify = emu::IdentifyMode::Silent;
  emu::VirtualInstrument mute(silent), vi;
  const int fds = OpenFds(), threads = Threads();
  EXPECT_STREQ(GetUSBPort(), "");
  {
    ScanPaths scan({"/nonexistent/a", mute.path(), vi.path(), mute.path()});
    ASSERT_EQ(InitORNA(), 1);
  }
  EXPECT_EQ(std::string(GetUSBPort()), vi.path());
  EXPECT_EQ(OpenFds(), fds + 1);
  EXPECT_EQ(Threads(), threads + 1);
  EXPECT_EQ(Kinds(mute), (std::vector<K>{K::IdentifyProbe, K::LegacyProbe}));

  // Already open: nothing changes, nobody is probed again.
  const std::size_t seen = vi.message_count();
  EXPECT_EQ(InitORNA(), 1);
  EXPECT_EQ(OpenFds(), fds + 1);
  EXPECT_EQ(Threads(), threads + 1);
  EXPECT_EQ(vi.message_count(), seen);
  CloseLink();
  EXPECT_EQ(OpenFds(), fds);
  EXPECT_EQ(Threads(), threads);

  // Nothing answers: 0, no port, no thread, the last path is kept.
  {
    ScanPaths scan({mute.path()});
    EXPECT_EQ(InitORNA(), 0);
  }
  EXPECT_EQ(g_hFile, -1);
  EXPECT_EQ(OpenFds(), fds);
  EXPECT_EQ(Threads(), threads);
  EXPECT_EQ(std::string(GetUSBPort()), vi.path());
}

TEST(PortScan, ALongPathIsCutToTheText) {
  const std::string link = "/tmp/orna-link-test-" + std::to_string(getpid()) + "-port";
  emu::VirtualInstrument vi;
  ASSERT_EQ(symlink(vi.path().c_str(), link.c_str()), 0);
  ScanPaths scan({link});
  EXPECT_EQ(InitORNA(), 1);
  unlink(link.c_str());
  EXPECT_EQ(std::string(GetUSBPort()), link.substr(0, 15));
  CloseLink();
}

TEST(SmallEntryPoints, FixedResults) {
  // The text and the header's numbers come from the one project version.
  EXPECT_EQ(std::string(GetSDKVersion()), std::to_string(ORNA_VERSION_MAJOR) + "." +
                                              std::to_string(ORNA_VERSION_MINOR) + "." +
                                              std::to_string(ORNA_VERSION_PATCH));
  EXPECT_EQ(TriggerDeviceChanged(), 0);
  SpecifyCOMPort("/dev/ttyACM9");
  SpecifyCOMPort(nullptr);
  EXPECT_STREQ(GetUSBPort(), "");
  EXPECT_EQ(GetSerialNo(), nullptr);
}
