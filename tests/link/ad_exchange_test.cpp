// GetAD beside a playing stream, from several host threads, from a real-time
// caller; and what an open leaves on the line, keeps of the identity, and does
// when its thread is cancelled.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/instrument.h"

namespace orna::test {
namespace {

constexpr std::uint16_t kValue = 0x0A5C;

TEST(ADExchange, FourCallersNeitherStarveTheStreamNorGetWrongValues) {
  // Answered at once, and never answered (each exchange waits out its whole
  // 110 ms window, the longest a caller can keep the line busy).
  for (const bool answered : {true, false}) {
    SCOPED_TRACE(answered ? "answered" : "unanswered");
    emu::Config cfg;
    cfg.ad_value = kValue;
    if (!answered) cfg.ad_reply = {0x00};
    cfg.record_samples = false;
    emu::VirtualInstrument vi(cfg);
    ScanPaths scan(vi.path());
    ASSERT_EQ(InitORNA(), 1);
    ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
    vi.start_playback(1.0);
    ASSERT_TRUE(WaitUntil([&] { return vi.stats().packets_played >= 1; }, milliseconds(3000)));
    const emu::Stats before = vi.stats();

    std::atomic<bool> quit{false};
    std::atomic<int> calls{0}, wrong{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
      callers.emplace_back([&] {
        while (!quit.load()) {
          if (GetAD() != (answered ? kValue : 0)) wrong.fetch_add(1);
          calls.fetch_add(1);
        }
      });
    }
    // Three seconds of playing: about ten packets, each asked for mid-exchange.
    EXPECT_TRUE(WaitUntil([&] { return vi.stats().packets_played >= before.packets_played + 10; },
                          milliseconds(10000)));
    quit.store(true);
    for (auto& t : callers) t.join();
    const emu::Stats after = vi.stats();
    EXPECT_EQ(after.underruns, before.underruns);
    EXPECT_EQ(after.sequence_gaps, 0u);
    EXPECT_GT(calls.load(), 8);
    EXPECT_EQ(wrong.load(), 0);
    vi.stop_playback();
    CloseORNA();
  }
}

TEST(ADExchange, ARequestDuringAnExchangeIsAnsweredBeforeTheExchangeEnds) {
  emu::Config cfg;
  cfg.ad_reply = {0x00};  // no reply: the exchange waits out its whole window
  emu::VirtualInstrument vi(cfg);
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_TRUE(vi.wait_for_packets(1, milliseconds(3000)));
  const std::size_t packets = vi.packet_count();
  const std::size_t messages = vi.message_count();

  std::atomic<bool> returned{false};
  std::thread caller([&] {
    EXPECT_EQ(GetAD(), 0);
    returned.store(true);
  });
  ASSERT_TRUE(vi.wait_for_messages(messages + 1, milliseconds(3000)));
  ASSERT_EQ(vi.messages().back().kind, emu::Kind::ADRequest);
  vi.send_next_request();
  ASSERT_TRUE(vi.wait_for_packets(packets + 1, milliseconds(3000)));
  EXPECT_FALSE(returned.load()) << "the packet waited for the end of the exchange";
  caller.join();
  CloseORNA();
}

// The receive thread's processor, once it has one.
bool PinReceiveThread(int cpu) {
  const pid_t rx = ReceiveThreadId();
  if (rx == 0) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(rx, sizeof set, &set) == 0;
}

TEST(ADExchange, ARealTimeCallerOnTheReceiveThreadsProcessorGetsItsReply) {
  emu::Config cfg;
  cfg.ad_value = kValue;
  emu::VirtualInstrument vi(cfg);
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  // The thread names itself once it is ready.
  ASSERT_TRUE(WaitUntil([] { return ReceiveThreadId() != 0; }));
  ASSERT_TRUE(PinReceiveThread(0));

  std::atomic<int> outcome{-1};  // -1 running, 0 no priority, 1 done
  std::vector<double> ms;
  std::vector<int> values;
  std::thread caller([&] {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_param p{};
    p.sched_priority = 50;
    if (sched_setaffinity(0, sizeof set, &set) != 0 ||
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) != 0) {
      outcome.store(0);
      return;
    }
    for (int i = 0; i < 10; ++i) {
      const auto t0 = Clock::now();
      values.push_back(GetAD());
      ms.push_back(MsSince(t0));
    }
    outcome.store(1);
  });
  // Bounded: a caller that never returns fails here instead of hanging.
  const bool ended = WaitUntil([&] { return outcome.load() != -1; }, milliseconds(20000));
  if (!ended) {
    ADD_FAILURE() << "GetAD at SCHED_FIFO 50 never returned";
    std::_Exit(1);
  }
  caller.join();
  if (outcome.load() == 0) GTEST_SKIP() << "no real-time priority for this process";
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(values[i], kValue) << i;
    // A reply is looked for 10 ms after the request, for 100 ms at most.
    EXPECT_LT(ms[i], 1000.0) << i;
  }
  CloseORNA();
}

TEST(Line, AVMinLeftByAnEarlierProgramDoesNotHoldBackShortMessages) {
  for (cc_t vmin : {cc_t{5}, cc_t{40}}) {
    SCOPED_TRACE(static_cast<int>(vmin));
    emu::VirtualInstrument vi;
    {
      const int fd = ::open(vi.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      termios t{};
      ASSERT_EQ(tcgetattr(fd, &t), 0);
      t.c_lflag &= ~static_cast<tcflag_t>(ICANON);
      t.c_cc[VMIN] = vmin;
      t.c_cc[VTIME] = 0;
      ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
      ::close(fd);
    }
    ScanPaths scan(vi.path());
    ASSERT_EQ(InitORNA(), 1);
    ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
    ASSERT_TRUE(vi.wait_for_packets(1, milliseconds(3000)));
    for (int i = 0; i < 3; ++i) {
      const std::size_t n = vi.packet_count();
      vi.send_next_request();  // two bytes
      EXPECT_TRUE(vi.wait_for_packets(n + 1, milliseconds(1000))) << i;
    }
    CloseORNA();
  }
}

TEST(Identity, ARejectedOpenNeverShowsAnotherDevicesSerial) {
  emu::VirtualInstrument good;
  ScanPaths scan(good.path());
  ASSERT_EQ(InitORNA(), 1);
  const char* serial = GetSerialNo();
  ASSERT_STREQ(serial, "SN0042");
  CloseORNA();

  emu::Config cfg;
  cfg.identify_reply = {'F', 'O', 'R', 'E', 'I', 'G', 'N', 0};
  cfg.hwinfo_reply = emu::DefaultHWInfoBlock();
  cfg.hwinfo_reply[6] = 'X';  // a block with the wrong letters rejects the port
  emu::VirtualInstrument other(cfg);
  std::atomic<bool> quit{false};
  std::atomic<int> foreign{0};
  std::thread reader([&] {
    while (!quit.load()) {
      if (std::strcmp(serial, "SN0042") != 0) foreign.fetch_add(1);
    }
  });
  for (int i = 0; i < 10; ++i) EXPECT_EQ(OrnaOpenPort(other.path().c_str()), 0) << i;
  quit.store(true);
  reader.join();
  EXPECT_EQ(foreign.load(), 0);
  EXPECT_STREQ(GetSerialNo(), "SN0042");
}

TEST(Cancellation, ACancelledOpenReturnsAndTheThreadEndsAsCancelled) {
  emu::Config cfg;
  cfg.identify = emu::IdentifyMode::Silent;
  emu::VirtualInstrument silent(cfg);
  struct Arg {
    std::string path;
    std::atomic<bool> inside{false};
    int result = 99;
  } arg{silent.path()};
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, nullptr,
                [](void* p) -> void* {
                  auto* a = static_cast<Arg*>(p);
                  a->inside.store(true);
                  a->result = OrnaOpenPort(a->path.c_str());
                  // The caller's cancellation state is back: this is where
                  // the cancel takes effect.
                  pthread_testcancel();
                  a->result = 100;
                  return nullptr;
                },
                &arg),
            0);
  ASSERT_TRUE(WaitUntil([&] { return arg.inside.load(); }));
  ASSERT_TRUE(WaitUntil([&] { return silent.message_count() >= 1; }));  // in the handshake
  ASSERT_EQ(pthread_cancel(thread), 0);
  void* status = nullptr;
  ASSERT_EQ(pthread_join(thread, &status), 0);
  EXPECT_EQ(status, PTHREAD_CANCELED);
  EXPECT_EQ(arg.result, 0);  // no instrument answered
}

}  // namespace
}  // namespace orna::test

namespace orna::test {
namespace {

std::thread::id g_host;
std::atomic<int> g_onHost{-1}, g_onReceiver{-1};

// Asks once from each kind of thread the callback runs on.
void AskFromCallback(double, double) {
  std::atomic<int>& slot = std::this_thread::get_id() == g_host ? g_onHost : g_onReceiver;
  int expected = -1;
  if (slot.compare_exchange_strong(expected, -2)) slot.store(GetAD());
}

TEST(ADExchange, FromACallbackOnTheReceiveThreadInPlaceAndOnAHostThreadAtOnce) {
  emu::Config cfg;
  cfg.ad_value = kValue;
  emu::VirtualInstrument vi(cfg);
  ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  g_host = std::this_thread::get_id();
  RegisterTimeAmpCB(AskFromCallback);
  // The first packet is built here, the next ones on the receive thread.
  const double ms = TimedMs([] { ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0); });
  EXPECT_EQ(g_onHost.load(), 0);
  EXPECT_LT(ms, 1000.0);  // not the bound of a wait for the receive thread
  for (int i = 0; i < 3; ++i) vi.send_next_request();
  EXPECT_TRUE(WaitUntil([] { return g_onReceiver.load() >= 0; }, milliseconds(3000)));
  EXPECT_EQ(g_onReceiver.load(), kValue);
  // The stream goes on after it.
  const std::size_t n = vi.packet_count();
  vi.send_next_request();
  EXPECT_TRUE(vi.wait_for_packets(n + 1, milliseconds(3000)));
  RegisterTimeAmpCB(nullptr);
  CloseORNA();
}

}  // namespace
}  // namespace orna::test
