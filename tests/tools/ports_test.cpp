// Choosing the instrument in `orna`: the port list, --port, --serial, and a
// run that must not pass when the link broke.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "emulator/virtual_instrument.h"
#include "link/port_list.h"
#include "tools/tools.h"

namespace orna::cli {
namespace {

struct FakeTree {
  std::string root;
  explicit FakeTree(const std::string& node_target) {
    char tmpl[] = "/tmp/orna-cli-XXXXXX";
    root = mkdtemp(tmpl);
    const std::string usb = root + "/sys/devices/usb1/1-1";
    EXPECT_EQ(std::system(("mkdir -p " + usb + "/1-1:1.0 " + root + "/sys/class/tty/ttyACM0 " +
                           root + "/dev/serial/by-id")
                              .c_str()),
              0);
    std::ofstream(usb + "/idVendor") << "1fc9\n";
    std::ofstream(usb + "/idProduct") << "0083\n";
    std::ofstream(usb + "/serial") << "SN0042\n";
    std::ofstream(usb + "/manufacturer") << "Bench Maker\n";
    std::ofstream(usb + "/product") << "ECG Simulator\n";
    EXPECT_EQ(symlink((usb + "/1-1:1.0").c_str(), (root + "/sys/class/tty/ttyACM0/device").c_str()), 0);
    // The device node leads to the virtual instrument's terminal.
    EXPECT_EQ(symlink(node_target.c_str(), (root + "/dev/ttyACM0").c_str()), 0);
    EXPECT_EQ(symlink("../../ttyACM0", (root + "/dev/serial/by-id/usb-Bench_Maker_SN0042-if00").c_str()), 0);
    _SetDeviceTreeForTesting((root + "/sys").c_str(), (root + "/dev").c_str());
  }
  ~FakeTree() {
    _SetDeviceTreeForTesting(nullptr, nullptr);
    (void)!std::system(("rm -rf " + root).c_str());
  }
};

TEST(Ports, ListAndPickBySerialNumber) {
  emu::VirtualInstrument vi;
  FakeTree tree(vi.path());
  std::FILE* out = std::tmpfile();
  ASSERT_EQ(RunList(out), kExitOk);
  std::rewind(out);
  char text[1024] = {};
  (void)!std::fread(text, 1, sizeof text - 1, out);
  std::fclose(out);
  EXPECT_EQ(std::string(text), tree.root + "/dev/ttyACM0  1fc9:0083  serial SN0042  Bench Maker ECG Simulator\n    " +
                                   tree.root + "/dev/serial/by-id/usb-Bench_Maker_SN0042-if00\n");

  EXPECT_EQ(RunInfo(false, "", "SN0042"), kExitOk);
  EXPECT_EQ(RunInfo(false, "", "SN9999"), kExitNoInstrument);
  EXPECT_EQ(RunInfo(false, tree.root + "/dev/serial/by-id/usb-Bench_Maker_SN0042-if00"), kExitOk);
  EXPECT_EQ(RunInfo(false, tree.root + "/dev/ttyACM7"), kExitNoInstrument);
  // Identify probe and hardware information request, twice: nothing else.
  EXPECT_TRUE(vi.wait_for_messages(6, std::chrono::milliseconds(1000)));
  EXPECT_EQ(vi.commands().size(), 6u);
}

TEST(Ports, PlayFailsWhenTheLinkBreaksOrTheInstrumentReportsGaps) {
  PlayOptions o;
  o.function = "sine";
  o.seconds = 30;  // ended early by the hang-up
  {
    emu::VirtualInstrument vi;
    o.port = vi.path();
    vi.start_playback(1.0);
    std::thread unplug([&] {
      if (vi.wait_for_packets(3, std::chrono::milliseconds(3000))) vi.disconnect();
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(RunPlay(o), kExitStream);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    unplug.join();
  }
  {
    emu::VirtualInstrument vi;
    o.port = vi.path();
    o.seconds = 0.6;
    vi.start_playback(1.0);
    std::thread gap([&] {
      if (vi.wait_for_packets(2, std::chrono::milliseconds(3000))) vi.send_sequence_error();
    });
    EXPECT_EQ(RunPlay(o), kExitStream);
    gap.join();
  }
}

}  // namespace
}  // namespace orna::cli
