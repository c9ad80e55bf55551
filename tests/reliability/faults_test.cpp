// Faults of the instrument, injected through the virtual instrument over a
// real pseudo-terminal: garbage on the line, messages cut anywhere, silence,
// a device that stops reading, a hang-up mid-stream, floods of requests and
// of status and version messages.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "emulator/virtual_instrument.h"
#include "link/lock.h"
#include "link/receive_thread.h"
#include "orna.h"
#include "support/instrument.h"

using namespace std::chrono_literals;
using namespace orna::test;
using orna::emu::Bytes;
using orna::emu::VirtualInstrument;

namespace {

// Frames numbered 0, 1, 2, ... modulo 256 without a gap or a repeat.
::testing::AssertionResult Continuous(const std::vector<Bytes>& packets) {
  const auto seq = FrameSequence(packets);
  for (size_t i = 0; i < seq.size(); ++i) {
    if (seq[i] != static_cast<int>(i % 256))
      return ::testing::AssertionFailure() << "frame " << i << " numbered " << seq[i];
  }
  return ::testing::AssertionSuccess();
}

int SeqErrors() {
  orna::LockGuard lock(orna::s_lock);
  return orna::s_SeqErrorCounter;
}

// Descriptors and threads of the process once the instrument machinery (and
// any runtime thread a sanitizer starts with the first thread) exists.
void WarmUp() {
  VirtualInstrument vi;
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  vi.start_flood();
  ASSERT_EQ(CloseORNA(), -1);
}

double RangeOn() {
  orna::LockGuard lock(orna::s_lock);
  return g_RangeV4Ch2On;
}

}  // namespace

TEST(Faults, GarbageAroundRequestsAndInAnADReplyIsDropped) {
  VirtualInstrument vi;
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_TRUE(vi.wait_for_packets(1, 1s));
  // Bytes that begin no instrument message, alone, in runs, and around requests.
  const Bytes garbage[] = {{0x00},       {0xFF, 0xFE}, {0xAD, 0x01, 0x2C}, {'x', 'y', 'z'},
                           {0x01, 0x45}, {0x0D, 0x0A}, Bytes(40, 0x7F),    {0x11, 0x13}};
  int requests = 0;
  for (const Bytes& g : garbage) {
    Bytes b = g;
    b.insert(b.end(), {'N', 0x00});
    b.insert(b.end(), g.begin(), g.end());
    vi.send(b);
    ++requests;
    ASSERT_TRUE(vi.wait_for_packets(1 + requests, 1s)) << "after garbage of " << g.size();
  }
  // An AD reply with a request in front of it: GetAD reads the value and the
  // request still reaches the packet builder.
  auto config = orna::emu::Config();
  config.ad_reply = {'N', 0x00, 0xAD, 0x01, 0x2C, 0xEE};
  vi.set_config(config);
  EXPECT_EQ(GetAD(), 300);
  ASSERT_TRUE(vi.wait_for_packets(2 + requests, 1s));
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  vi.wait_quiet(50ms, 1s);
  EXPECT_EQ(vi.packet_count(), 2u + requests);
  EXPECT_TRUE(Continuous(vi.packets()));
  EXPECT_EQ(vi.stats().header_errors, 0u);
  EXPECT_EQ(CloseORNA(), -1);
}

TEST(Faults, MessagesSplitAtEveryByteBoundary) {
  VirtualInstrument vi(orna::emu::OldFirmware());  // reports no version itself
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  ASSERT_EQ(SetOutputFunc(OutputFuncTriangle), 0);
  ASSERT_TRUE(vi.wait_for_packets(1, 1s));
  // A sequence error report, a status message, a version report that changes
  // nothing and a next-packet request: 32 bytes, cut in two at every place.
  Bytes all(15, 0);
  all[0] = 'S';
  all.insert(all.end(), {'2', 9, 9, 9, 9, 9, 9});
  all.insert(all.end(), {'4', '0', '0', '0', '0', '0', '1', 0x7E});
  all.insert(all.end(), {'N', 0x5A});
  ASSERT_EQ(all.size(), 32u);
  const int errorsBefore = SeqErrors();
  for (size_t cut = 1; cut < all.size(); ++cut) {
    vi.send(Bytes(all.begin(), all.begin() + cut));
    std::this_thread::sleep_for(25ms);
    vi.send(Bytes(all.begin() + cut, all.end()));
    ASSERT_TRUE(vi.wait_for_packets(1 + cut, 2s)) << "cut at " << cut;
    ASSERT_TRUE(WaitUntil([&] { return SeqErrors() == errorsBefore + static_cast<int>(cut); }))
        << "cut at " << cut;
  }
  EXPECT_EQ(RangeOn(), 4.0);
  // A version report that raises the range, cut after every byte.
  for (char c : std::string("4000002")) {
    vi.send({static_cast<std::uint8_t>(c)});
    std::this_thread::sleep_for(15ms);
  }
  vi.send({0x00, 'N', 0x00});
  ASSERT_TRUE(vi.wait_for_packets(1 + all.size(), 2s));
  EXPECT_EQ(RangeOn(), 5.0);
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  vi.wait_quiet(50ms, 1s);
  EXPECT_EQ(vi.packet_count(), 1u + all.size());
  EXPECT_TRUE(Continuous(vi.packets()));
  CloseORNA();
  EXPECT_EQ(orna::s_DataBegin, orna::s_DataEnd);
  EXPECT_EQ(orna::s_OwedBytes, 0);
}

TEST(Faults, ADeviceThatNeverAnswersIsPassedOverPromptly) {
  auto config = orna::emu::Config();
  config.identify = orna::emu::IdentifyMode::Silent;
  VirtualInstrument vi(config);
  ScanPaths scan(vi.path());
  const int fds = OpenFds(), threads = Threads();
  int r = -1;
  // Two probes, each waiting at most 5 ms and a 100 ms read.
  EXPECT_LT(TimedMs([&] { r = InitORNA(); }), 500);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(OpenFds(), fds);
  EXPECT_EQ(Threads(), threads);
  EXPECT_STREQ(GetUSBPort(), "");
  EXPECT_EQ(SetOutputFunc(OutputFuncSine), -1);
  EXPECT_EQ(GetAD(), 0);
  EXPECT_EQ(CloseORNA(), -1);
  // The same instrument, answering now, is found by the next scan.
  vi.set_config(orna::emu::Config());
  EXPECT_EQ(InitORNA(), 1);
  EXPECT_EQ(CloseORNA(), -1);
}

TEST(Faults, ADeviceThatStopsReadingCannotHoldAHostCall) {
  VirtualInstrument vi;
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  vi.start_playback(1.0);
  ASSERT_EQ(SetOutputFunc(OutputFuncCalECG), 0);
  ASSERT_TRUE(vi.wait_for_packets(2, 2s));
  vi.set_reading(false);
  // Fill the line: the packet writes run into the full output.
  for (int i = 0; i < 8; ++i) vi.send_next_request();
  std::this_thread::sleep_for(300ms);

  // Every call that writes gives up on the stalled line within the bound.
  const double bound = 1500;
  EXPECT_LT(TimedMs([] { EXPECT_EQ(SetOutputLead(4, true), 0); }), bound);
  EXPECT_LT(TimedMs([] { EXPECT_EQ(SetInputImpedanceMode(false), 0); }), bound);
  EXPECT_LT(TimedMs([] { EXPECT_EQ(SetAmplitude(2.0), 0); }), bound);
  EXPECT_LT(TimedMs([] { (void)GetAD(); }), bound);
  EXPECT_LT(TimedMs([] { EXPECT_EQ(SetOutputFunc(OutputFuncNone), 0); }), bound);
  EXPECT_LT(TimedMs([] { EXPECT_EQ(SetOutputFunc(OutputFuncSine), 0); }), bound);
  EXPECT_LT(TimedMs([] { EXPECT_EQ(SetDCOffset(100), 0); }), bound);
  EXPECT_LT(TimedMs([] { EXPECT_EQ(CloseORNA(), -1); }), bound);
  vi.set_reading(true);
}

TEST(Faults, AfterAStalledLineTheNextConnectionWorks) {
  WarmUp();
  const int fds = OpenFds(), threads = Threads();
  {
    VirtualInstrument vi;
    ScanPaths scan(vi.path());
    ASSERT_EQ(InitORNA(), 1);
    vi.start_playback(1.0);
    ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
    ASSERT_TRUE(vi.wait_for_packets(2, 2s));
    vi.set_reading(false);
    // Each start of the stream writes a packet that fills the line further.
    // The first write that meets the full line waits the bound, the ones
    // after it give up at once: forty starts and stops and the close (which
    // resets and says goodbye) together take little more than one bound.
    const double ms = TimedMs([&] {
      for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(SetOutputFunc(OutputFuncNone), 0);
        EXPECT_EQ(SetOutputFunc(OutputFuncSine), 0);
      }
      EXPECT_EQ(CloseORNA(), -1);
    });
    EXPECT_LT(ms, 2500);
  }
  // The line's framing is the stalled device's own affair (it holds pieces
  // of messages); the library keeps nothing of that connection.
  EXPECT_EQ(OpenFds(), fds);
  EXPECT_EQ(Threads(), threads);
  VirtualInstrument vi;
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  // A line that takes data again is written to whole at once.
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_TRUE(vi.wait_for_packets(1, 1s));
  EXPECT_EQ(vi.commands().back().kind, orna::emu::Kind::OffsetClear);
  EXPECT_EQ(CloseORNA(), -1);
}

TEST(Faults, HangUpMidStreamThenANewInstrument) {
  WarmUp();
  const int fds = OpenFds(), threads = Threads();
  {
    VirtualInstrument vi;
    ScanPaths scan(vi.path());
    ASSERT_EQ(InitORNA(), 1);
    vi.start_flood();
    ASSERT_EQ(SetOutputFunc(OutputFuncECGNotchedR), 0);
    ASSERT_TRUE(vi.wait_for_packets(20, 2s));
    vi.disconnect();
    std::this_thread::sleep_for(50ms);
    // Every kind of call comes back at once on the dead line, and the setters
    // say that no instrument is open any more.
    const double bound = 200;
    EXPECT_LT(TimedMs([] { EXPECT_EQ(SetAmplitude(3.0), -1); }), bound);
    EXPECT_LT(TimedMs([] { EXPECT_EQ(SetOutputLead(2, true), -1); }), bound);
    EXPECT_LT(TimedMs([] { EXPECT_EQ(SetOutputFunc(OutputFuncSquare), -1); }), bound);
    EXPECT_LT(TimedMs([] { EXPECT_EQ(GetAD(), 0); }), bound);
    EXPECT_LT(TimedMs([] { (void)SetFreqScanECG(true); }), bound);
    EXPECT_LT(TimedMs([] { EXPECT_EQ(ResetORNA(), 0); }), bound);
    EXPECT_LT(TimedMs([] { EXPECT_EQ(CloseORNA(), -1); }), bound);
    EXPECT_FALSE(orna::_ReceiveThreadRunning());
  }
  EXPECT_EQ(Threads(), threads);
  EXPECT_EQ(OpenFds(), fds);
  // A later connection to another instrument streams from frame 0 again.
  VirtualInstrument vi;
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  EXPECT_STREQ(GetSerialNo(), "SN0042");
  vi.start_flood();
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_TRUE(vi.wait_for_packets(10, 2s));
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  vi.wait_quiet(50ms, 1s);
  EXPECT_TRUE(Continuous(vi.packets()));
  EXPECT_EQ(vi.stats().sequence_gaps, 0u);
  EXPECT_EQ(CloseORNA(), -1);
}

TEST(Faults, AFloodOfRequestsIsAnsweredOncePerRequest) {
  VirtualInstrument vi;
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  ASSERT_EQ(SetOutputFunc(OutputFuncPulse), 0);
  ASSERT_TRUE(vi.wait_for_packets(1, 1s));
  // Requests that arrive together are all answered in the pass that reads
  // them, one packet each, in order.
  const int flood = 40;
  Bytes b;
  for (int i = 0; i < flood; ++i) b.insert(b.end(), {'N', static_cast<std::uint8_t>(i)});
  vi.send(b);
  ASSERT_TRUE(vi.wait_for_packets(1 + flood, 10s)) << vi.packet_count() << " " << vi.stats().header_errors << " " << vi.stats().unknown_bytes;
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  vi.wait_quiet(50ms, 1s);
  EXPECT_EQ(vi.packet_count(), 1u + flood);
  EXPECT_TRUE(Continuous(vi.packets()));
  EXPECT_EQ(CloseORNA(), -1);
}

TEST(Faults, StatusAndVersionMessagesAtHighRateDoNotStarveTheStream) {
  VirtualInstrument vi(orna::emu::OldFirmware());  // reports no version itself
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_TRUE(vi.wait_for_packets(1, 2s));
  // Status and version messages every millisecond or two while the stream
  // runs: each packet the instrument asks for must still come (the clock is
  // stepped a packet's worth at a time, so that a loaded machine cannot make
  // the instrument run dry; a starved stream never delivers).
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread chatter([&] {
    while (!stop.load()) {
      vi.send_status();
      vi.send_version(sent % 4 ? "4000001" : "3999999");
      sent += 2;
      std::this_thread::sleep_for(1ms);
    }
  });
  for (std::uint64_t played = 1; played <= 10; ++played) {
    ASSERT_TRUE(WaitUntil([&] { return sent >= 40 * static_cast<int>(played); }, 10s));
    vi.step(1500);
    // Two packets queued or asked for after each step; both must arrive.
    ASSERT_TRUE(vi.wait_for_packets(played + 2, 5s)) << "packet " << played + 2;
  }
  stop = true;
  chatter.join();
  vi.send_version("4000002");
  EXPECT_TRUE(WaitUntil([] { return RangeOn() == 5.0; }, 2s));
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  vi.wait_quiet(50ms, 1s);
  const auto stats = vi.stats();
  EXPECT_GE(sent.load(), 400);
  EXPECT_EQ(stats.packets_received, 12u);
  EXPECT_EQ(stats.underruns, 0u);
  EXPECT_EQ(stats.sequence_gaps, 0u);
  EXPECT_EQ(stats.packets_received, stats.requests_sent + 1);  // the first came unasked
  EXPECT_EQ(CloseORNA(), -1);
}
