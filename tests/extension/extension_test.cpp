// The extension API against the virtual instrument over a real pseudo-terminal:
// exclusive open, opening a chosen path, loss of the device, counters, words
// for result codes, the port list.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator/virtual_instrument.h"
#include "link/port_list.h"
#include "orna.h"
#include "support/files.h"
#include "support/instrument.h"

namespace {

using namespace orna;
using namespace std::chrono;
using namespace orna::test;
using Kind = emu::Kind;

OrnaLinkStatus Status() {
  OrnaLinkStatus s{};
  s.size = sizeof s;
  EXPECT_EQ(OrnaGetLinkStatus(&s), 0);
  return s;
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::atomic<int> g_lostCalls{0};
void OnLost() { ++g_lostCalls; }

// -------------------------------------------------------------------------

TEST(Extension, ResultTextForEveryDocumentedCode) {
  struct Case {
    const char* function;
    std::vector<int> codes;
  };
  const std::vector<Case> documented = {
      {"InitORNA", {0}}, {"GetAD", {0}}, {"CloseORNA", {-1}}, {"ResetORNA", {-1}},
      {"SetOutputFunc", {-1, -2}}, {"SetSpecialWave227", {-2}}, {"SetSpecialWave251", {-2}},
      {"SetAmplitude", {-1, -2, -3}}, {"SetFrequency", {-1, -2, -3, -4}},
      {"SetDCOffset", {-1, -2}}, {"SetDCOffsetVariableMode", {-1}}, {"SetPulseWidth", {-1, -2}},
      {"SetQRSDuration", {-1, -2}}, {"SetTWave", {-1, -2}}, {"SetPacingAmplitude", {-1, -2}},
      {"SetPacingDuration", {-1, -2}}, {"SetPacingRate", {-1, -2}}, {"SetPacingPulseMode", {-1}},
      {"SetOvershootTimeConstant", {-1, -2}}, {"SetOutputLead", {-1, -2}},
      {"SetInputImpedanceMode", {-1}}, {"SetDCOffsetCommoneMode", {-1}},
      {"SetFreqScanSine", {-1, -2, -3, -4}}, {"SetFreqScanECG", {-1}},
      {"SetECG2_27_Noise", {-1, -2, -3}}, {"SetECG2_27_AAMIDriftTest", {-1}},
      {"SetDynamicRangeTest", {-1, -2, -3, -4}}, {"SetBaselineResetTest", {-1, -2}},
      {"LoadECGtxt", {-1, -2, -3, -4}}, {"LoadECGbin", {-1, -2, -3}},
      {"OrnaListPorts", {-1}}, {"OrnaOpenPort", {0, -1, -16}}, {"OrnaGetLinkStatus", {-1}},
  };
  for (const Case& c : documented) {
    for (int code : c.codes) {
      const char* text = OrnaResultText(c.function, code);
      ASSERT_NE(text, nullptr) << c.function << " " << code;
      EXPECT_GT(std::strlen(text), 10u) << c.function << " " << code;
    }
    // Success and a code the function never returns have no text.
    const std::string f = c.function;
    if (f != "InitORNA" && f != "GetAD" && f != "OrnaOpenPort") {
      EXPECT_EQ(OrnaResultText(c.function, 0), nullptr) << c.function;
    }
    EXPECT_EQ(OrnaResultText(c.function, -5), nullptr) << c.function;
  }
  EXPECT_STREQ(OrnaResultText("SetAmplitude", -2), "amplitude outside -10 to 10 mV");
  EXPECT_STREQ(OrnaResultText("SetPulseWidth", -2), "pulse width outside 2 to 300 ms");
  EXPECT_EQ(OrnaResultText("InitORNA", 1), nullptr);
  EXPECT_EQ(OrnaResultText("SetAmplitud", -2), nullptr);
  EXPECT_EQ(OrnaResultText(nullptr, -1), nullptr);
}

TEST(Extension, ListPortsFromTheDeviceTree) {
  ScratchDir t;
  const std::string sys = t / "sys", dev = t / "dev";
  const std::string usb = sys + "/devices/usb1/1-2", iface = usb + "/1-2:1.0";
  ASSERT_EQ(std::system(("mkdir -p " + iface + " " + sys + "/devices/platform/uart " + sys +
                         "/class/tty/ttyACM2 " + sys + "/class/tty/ttyACM10 " + sys +
                         "/class/tty/ttyS0 " + dev + "/serial/by-id")
                            .c_str()),
            0);
  Write(usb + "/idVendor", "1fc9\n");
  Write(usb + "/idProduct", "0083\n");
  Write(usb + "/serial", "SN0042\n");
  Write(usb + "/manufacturer", "Bench Maker\n");
  Write(usb + "/product", "ECG Simulator\n");
  ASSERT_EQ(symlink(iface.c_str(), (sys + "/class/tty/ttyACM2/device").c_str()), 0);
  ASSERT_EQ(symlink((sys + "/devices/platform/uart").c_str(),
                    (sys + "/class/tty/ttyACM10/device").c_str()),
            0);
  Write(dev + "/ttyACM2", "");
  Write(dev + "/ttyACM10", "");
  const std::string by_id = dev + "/serial/by-id/usb-Bench_Maker_ECG_Simulator_SN0042-if00";
  ASSERT_EQ(symlink("../../ttyACM2", by_id.c_str()), 0);

  _SetDeviceTreeForTesting(sys.c_str(), dev.c_str());
  OrnaPortInfo p[3];
  std::memset(p, 0x5A, sizeof p);
  EXPECT_EQ(OrnaListPorts(nullptr, 0), 2);
  EXPECT_EQ(OrnaListPorts(p, 1), 2);  // fills one, counts both
  EXPECT_EQ(static_cast<unsigned char>(p[1].path[0]), 0x5A);
  ASSERT_EQ(OrnaListPorts(p, 3), 2);
  EXPECT_EQ(std::string(p[0].path), dev + "/ttyACM2");  // in number order
  EXPECT_EQ(std::string(p[0].by_id), by_id);
  EXPECT_EQ(p[0].vendor_id, 0x1fc9);
  EXPECT_EQ(p[0].product_id, 0x0083);
  EXPECT_STREQ(p[0].serial, "SN0042");
  EXPECT_STREQ(p[0].manufacturer, "Bench Maker");
  EXPECT_STREQ(p[0].product, "ECG Simulator");
  EXPECT_EQ(std::string(p[1].path), dev + "/ttyACM10");
  EXPECT_STREQ(p[1].by_id, "");
  EXPECT_EQ(p[1].vendor_id, 0);
  EXPECT_STREQ(p[1].serial, "");

  _SetDeviceTreeForTesting((t / "missing").c_str(), dev.c_str());
  EXPECT_EQ(OrnaListPorts(p, 3), -1);
  _SetDeviceTreeForTesting(nullptr, nullptr);
}

TEST(Extension, OpenPortRefusesWhatIsNoPortAndSendsNothing) {
  ScratchDir t;
  Write(t / "file", "x");
  EXPECT_STREQ(OrnaLastErrorText(), "");
  const int fds = OpenFds();
  struct Case {
    std::string path;
    const char* why;
  };
  for (const Case& c : {Case{t / "missing", "No such file or directory"},
                        Case{t / "file", "Inappropriate ioctl for device"},
                        Case{t.path(), "Is a directory"}}) {
    EXPECT_EQ(OrnaOpenPort(c.path.c_str()), -1) << c.path;
    EXPECT_EQ(std::string(OrnaLastErrorText()), c.path + ": " + c.why);
    EXPECT_EQ(Status().open, 0);
  }
  EXPECT_EQ(OrnaOpenPort(nullptr), -1);
  EXPECT_EQ(OpenFds(), fds);

  // A port without permission: as root (which passes every permission
  // check) the open runs in a child that has given up root first.
  emu::VirtualInstrument vi;
  const std::string path = vi.path();
  const bool root = geteuid() == 0;
  if (!root) {
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
  }
  const pid_t pid = fork();
  if (pid == 0) {
    if (root && setuid(65534) != 0) {
      _exit(2);
    }
    const bool ok = OrnaOpenPort(path.c_str()) == -1 &&
                    std::string(OrnaLastErrorText()) == path + ": Permission denied";
    _exit(ok ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(vi.wait_quiet(milliseconds(50), milliseconds(500)));
  EXPECT_EQ(vi.message_count(), 0u);

  // A silent device on a terminal: the port opened, nobody answered.
  emu::Config silent;
  silent.identify = emu::IdentifyMode::Silent;
  emu::VirtualInstrument quiet(silent);
  const int before = OpenFds();
  EXPECT_EQ(OrnaOpenPort(quiet.path().c_str()), 0);
  EXPECT_EQ(std::string(OrnaLastErrorText()), quiet.path() + ": no instrument answered");
  EXPECT_EQ(OpenFds(), before);
}

TEST(Extension, OpenPortFollowsAByIdLink) {
  emu::VirtualInstrument vi;
  ScratchDir t;
  const std::string link = t / "usb-Bench_Maker_ECG_Simulator_SN0042-if00";
  ASSERT_EQ(symlink(vi.path().c_str(), link.c_str()), 0);
  ASSERT_EQ(OrnaOpenPort(link.c_str()), 1);
  EXPECT_EQ(std::string(GetUSBPort()), vi.path());
  EXPECT_STREQ(GetSerialNo(), "SN0042");
  EXPECT_STREQ(OrnaLastErrorText(), "");
  EXPECT_EQ(OrnaOpenPort("/nonexistent"), 1);  // already open: nothing touched
  EXPECT_EQ(Status().open, 1);
  EXPECT_EQ(CloseORNA(), -1);
}

// The other process of the test below: this test program run again with
// ORNA_HOLD_PORT set. It opens the port, reports the result on descriptor 3
// and holds the port until its standard input closes.
TEST(Extension, HolderProcess) {
  const char* path = std::getenv("ORNA_HOLD_PORT");
  if (path == nullptr) GTEST_SKIP() << "only run as the holder of ASecondProcessCannotOpenAHeldInstrument";
  const char r = static_cast<char>(OrnaOpenPort(path));
  (void)!write(3, &r, 1);
  char sink;
  while (read(0, &sink, 1) > 0) {
  }
  _exit(0);  // the process's end releases the port
}

TEST(Extension, ASecondProcessCannotOpenAHeldInstrument) {
  emu::VirtualInstrument vi;
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  const std::string env = "ORNA_HOLD_PORT=" + vi.path();
  char* const envp[] = {const_cast<char*>(env.c_str()), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    // Only the one end of each pipe: the holder's input must reach its end.
    close(to_child[1]);
    close(from_child[0]);
    dup2(to_child[0], 0);
    dup2(from_child[1], 3);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    execle("/proc/self/exe", "holder", "--gtest_filter=Extension.HolderProcess",
           static_cast<char*>(nullptr), envp);
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  char opened = 0;
  ASSERT_EQ(read(from_child[0], &opened, 1), 1);
  ASSERT_EQ(opened, 1);
  ASSERT_TRUE(vi.wait_for_messages(2, milliseconds(1000)));

  EXPECT_EQ(OrnaOpenPort(vi.path().c_str()), -16);
  EXPECT_EQ(std::string(OrnaLastErrorText()), vi.path() + ": held by another process");
  {
    ScanPaths scan(vi.path());
    EXPECT_EQ(InitORNA(), 0);  // passed over like a port that does not answer
  }
  EXPECT_TRUE(vi.wait_quiet(milliseconds(50), milliseconds(500)));
  EXPECT_EQ(Kinds(vi), (std::vector<Kind>{Kind::IdentifyProbe, Kind::HWInfoRequest}));

  close(to_child[1]);
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(OrnaOpenPort(vi.path().c_str()), 1);
  EXPECT_EQ(CloseORNA(), -1);
  close(from_child[0]);
}

TEST(Extension, CountersEqualWhatTheInstrumentSaw) {
  emu::VirtualInstrument vi;
  ASSERT_EQ(OrnaOpenPort(vi.path().c_str()), 1);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  for (int i = 0; i < 5; ++i) {
    vi.send_next_request();
    ASSERT_TRUE(vi.wait_for_packets(static_cast<std::size_t>(i) + 2, milliseconds(1000)));
  }
  vi.send_sequence_error();
  vi.send({0x11, 0x22, 0x33});
  vi.send_sequence_error();
  ASSERT_TRUE(WaitUntil([] { return Status().sequence_errors == 2; }));
  const OrnaLinkStatus s = Status();
  EXPECT_EQ(s.open, 1);
  EXPECT_EQ(s.lost, 0);
  EXPECT_EQ(s.streaming, 1);
  EXPECT_EQ(s.requests, vi.stats().requests_sent);
  EXPECT_EQ(s.requests, 5u);
  EXPECT_EQ(s.packets, vi.stats().packets_received);
  EXPECT_EQ(s.packets, 6u);
  EXPECT_EQ(s.bytes_dropped, 3u);
  EXPECT_EQ(s.write_failures, 0u);

  // The size decides how much is filled; too small or null is refused.
  OrnaLinkStatus small;
  std::memset(&small, 0x5A, sizeof small);
  small.size = offsetof(OrnaLinkStatus, requests);
  EXPECT_EQ(OrnaGetLinkStatus(&small), 0);
  EXPECT_EQ(small.open, 1);
  EXPECT_EQ(small.requests, 0x5A5A5A5A5A5A5A5Aull);
  small.size = offsetof(OrnaLinkStatus, streaming);
  EXPECT_EQ(OrnaGetLinkStatus(&small), -1);
  EXPECT_EQ(OrnaGetLinkStatus(nullptr), -1);

  // A new connection starts counting at 0.
  EXPECT_EQ(CloseORNA(), -1);
  ASSERT_EQ(OrnaOpenPort(vi.path().c_str()), 1);
  EXPECT_EQ(Status().packets, 0u);
  EXPECT_EQ(Status().requests, 0u);
  EXPECT_EQ(CloseORNA(), -1);
}

TEST(Extension, HangUpWhileStreamingEndsTheConnection) {
  const int fds = OpenFds();
  int with_receiver = 0;
  OrnaRegisterLinkLostCB(OnLost);
  {
    emu::VirtualInstrument vi;
    ASSERT_EQ(OrnaOpenPort(vi.path().c_str()), 1);
    with_receiver = Threads();
    ASSERT_EQ(SetAmplitude(2.0), 0);
    ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
    vi.start_flood();
    ASSERT_TRUE(vi.wait_for_packets(5, milliseconds(2000)));
    const auto t0 = steady_clock::now();
    vi.disconnect();
    ASSERT_TRUE(WaitUntil([] { return Status().lost == 1; }, milliseconds(1000)));
    std::printf("hang-up to lost: %.1f ms\n",
                duration<double, std::milli>(steady_clock::now() - t0).count());
    // The receive thread has ended: nothing polls the dead line.
    EXPECT_TRUE(WaitUntil([&] { return Threads() == with_receiver - 1; }));
    const OrnaLinkStatus s = Status();
    EXPECT_EQ(s.open, 0);
    EXPECT_EQ(s.streaming, 0);
    EXPECT_EQ(g_lostCalls.load(), 1);
    EXPECT_EQ(GetOutputFunc(), 0);
    EXPECT_EQ(SetAmplitude(3.0), -1);  // as with no port: nothing stored
    EXPECT_EQ(GetAmplitude(), 2.0);
    EXPECT_EQ(std::string(GetUSBPort()), vi.path());
    EXPECT_EQ(CloseORNA(), -1);
    EXPECT_EQ(Status().lost, 1);  // until the next successful open
  }
  EXPECT_EQ(OpenFds(), fds);
  EXPECT_EQ(Threads(), with_receiver - 2);  // neither the receive thread nor the instrument's

  emu::VirtualInstrument next;
  ASSERT_EQ(OrnaOpenPort(next.path().c_str()), 1);
  EXPECT_EQ(Status().lost, 0);
  EXPECT_EQ(SetOutputFunc(OutputFuncSine), 0);
  EXPECT_TRUE(next.wait_for_packets(1, milliseconds(1000)));
  EXPECT_EQ(CloseORNA(), -1);
  EXPECT_EQ(g_lostCalls.load(), 1);
  OrnaRegisterLinkLostCB(nullptr);
}

TEST(Extension, HangUpDuringGetADAndALoadThenInitORNAScansAgain) {
  ScratchDir t;
  Write(t / "beat.txt", "5000\n4\n0\n500\n1000\n500\n");
  const std::string file = t / "beat.txt";
  const std::u16string wide(file.begin(), file.end());
  emu::Config cfg;
  cfg.ad_value = 0x1234;
  auto vi = std::make_unique<emu::VirtualInstrument>(cfg);
  ASSERT_EQ(OrnaOpenPort(vi->path().c_str()), 1);
  ASSERT_EQ(LoadECGtxt(wide.c_str()), 4);
  ASSERT_EQ(SetOutputFunc(OutputFuncECGFile), 0);
  vi->start_flood();

  // Two host threads keep calling while the device goes away; no call may
  // take longer than 2 s.
  std::atomic<bool> stop{false};
  std::atomic<long long> longest_us{0};
  auto hammer = [&](auto call) {
    while (!stop) {
      const auto t0 = steady_clock::now();
      call();
      const long long us = duration_cast<microseconds>(steady_clock::now() - t0).count();
      if (us > longest_us) longest_us = us;
    }
  };
  std::thread ad([&] { hammer([] { GetAD(); }); });
  std::thread load([&] { hammer([&] { LoadECGtxt(wide.c_str()); SetAmplitude(1.5); }); });
  ASSERT_TRUE(vi->wait_for_packets(3, milliseconds(2000)));
  vi->disconnect();
  EXPECT_TRUE(WaitUntil([] { return Status().lost == 1; }, milliseconds(1000)));
  EXPECT_EQ(GetAD(), 0);
  stop = true;
  ad.join();
  load.join();
  EXPECT_LT(longest_us.load(), 2000000);
  EXPECT_EQ(Status().streaming, 0);

  // No close: the next scan releases the lost port and finds the new instrument.
  vi.reset();
  emu::VirtualInstrument next(cfg);
  ScanPaths scan(next.path());
  ASSERT_EQ(InitORNA(), 1);
  EXPECT_EQ(Status().lost, 0);
  EXPECT_EQ(SetOutputFunc(OutputFuncSine), 0);
  EXPECT_TRUE(next.wait_for_packets(1, milliseconds(1000)));
  EXPECT_EQ(CloseORNA(), -1);
}

}  // namespace
