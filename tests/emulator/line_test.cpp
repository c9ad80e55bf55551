// Messages injected by the test, faults of the line (disconnection, a host
// whose output is not read) and the waits.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "link/realtime.h"
#include "support/packets.h"
#include "support/terminal.h"

using namespace std::chrono_literals;
using orna::emu::Bytes;
using orna::emu::Kind;
using orna::emu::VirtualInstrument;
using orna::test::HostLine;
using orna::test::MidScalePacket;

namespace {

std::set<int> ThreadIds() {
  std::set<int> ids;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
    closedir(d);
  }
  return ids;
}

// Scheduling policy and priority of the one thread an instrument starts, as
// soon as the instrument is there (a host may talk to it at once).
std::pair<int, int> ServiceScheduling(const orna::emu::Config& config) {
  const std::set<int> before = ThreadIds();
  VirtualInstrument vi(config);
  int tid = 0;
  for (int id : ThreadIds())
    if (before.count(id) == 0) tid = id;
  sched_param p{};
  sched_getparam(tid, &p);
  return {sched_getscheduler(tid), p.sched_priority};
}

// Whether this process may run a thread at a real-time priority.
bool RealtimeAllowed() {
  bool granted = false;
  std::thread([&granted] { granted = orna::_AskForRealtime(1); }).join();
  return granted;
}

TEST(EmulatorLine, ServesAtARealTimePriorityWhereThatIsAllowed) {
  orna::emu::Config config;
  const auto got = ServiceScheduling(config);
  if (RealtimeAllowed()) {
    int expected = orna::kRealtimePriority + 1;
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur >= 1 && limit.rlim_cur < static_cast<rlim_t>(expected))
      expected = static_cast<int>(limit.rlim_cur);
    EXPECT_EQ(got.first, SCHED_FIFO | SCHED_RESET_ON_FORK);
    EXPECT_EQ(got.second, expected);
  } else {
    EXPECT_EQ(got.first, SCHED_OTHER);
  }
  config.realtime = false;
  EXPECT_EQ(ServiceScheduling(config).first, SCHED_OTHER);
}

TEST(EmulatorLine, InjectedMessagesHaveTheirExactBytes) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  vi.send_next_request();
  EXPECT_EQ(host.read_n(2, 1s), (Bytes{'N', 0x00}));
  vi.send_sequence_error();
  EXPECT_EQ(host.read_n(15, 1s), (Bytes{'S', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  vi.send_status();
  EXPECT_EQ(host.read_n(7, 1s), (Bytes{'2', 0, 0, 0, 0, 0, 0}));
  vi.send_version("4000002");
  EXPECT_EQ(host.read_n(8, 1s), (Bytes{'4', '0', '0', '0', '0', '0', '2', 0x00}));
  const char with_zero[7] = {'4', '0', 0, '0', '0', '0', '9'};  // all seven go out
  vi.send_version(with_zero);
  EXPECT_EQ(host.read_n(8, 1s), (Bytes{'4', '0', 0, '0', '0', '0', '9', 0x00}));
  vi.send({0xDE, 0xAD, 0x0D, 0x0A, 0x11, 0x13});  // no byte is translated
  EXPECT_EQ(host.read_n(6, 1s), (Bytes{0xDE, 0xAD, 0x0D, 0x0A, 0x11, 0x13}));
  EXPECT_EQ(host.read_for(20ms), Bytes{});
  EXPECT_EQ(vi.stats().requests_sent, 1u);
  EXPECT_EQ(vi.stats().sequence_reports_sent, 0u);
}

TEST(EmulatorLine, HostBytesAreNotTranslatedEither) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  ASSERT_TRUE(host.write(Bytes{0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A}));
  ASSERT_TRUE(vi.wait_for_messages(6, 1s));
  auto m = vi.messages();
  ASSERT_EQ(m.size(), 6u);
  const std::uint8_t sent[] = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(m[i].kind, Kind::Unknown);
    EXPECT_EQ(m[i].bytes, Bytes{sent[i]});
  }
}

TEST(EmulatorLine, DisconnectHangsUpTheHost) {
  VirtualInstrument vi;
  const std::string path = vi.path();
  HostLine host(path);
  ASSERT_TRUE(host.ok());
  vi.disconnect();
  std::uint8_t buf[16];
  ssize_t r = ::read(host.fd(), buf, sizeof buf);
  EXPECT_TRUE(r == 0 || (r < 0 && errno == EIO)) << r << " " << errno;
  const std::uint8_t probe = 0x55;
  errno = 0;
  EXPECT_EQ(::write(host.fd(), &probe, 1), -1);
  EXPECT_EQ(errno, EIO);
  // The path leads nowhere now, and the instrument stays usable as an object.
  HostLine again(path);
  EXPECT_FALSE(again.ok());
  vi.send_next_request();
  vi.disconnect();
  EXPECT_EQ(vi.stats().requests_sent, 0u);
  EXPECT_FALSE(vi.streaming());
}

TEST(EmulatorLine, NotReadingLetsTheHostsOutputFillUp) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  vi.set_reading(false);
  std::this_thread::sleep_for(10ms);
  const Bytes packet = MidScalePacket(0);
  std::size_t whole = 0;
  Bytes rest;
  bool full = false;
  // Write packets until the line refuses more (nobody reads the other end).
  for (int tries = 0; tries < 200 && !full; ++tries) {
    ssize_t r = ::write(host.fd(), packet.data(), packet.size());
    if (r == 3200) {
      ++whole;
    } else if (r > 0) {
      rest.assign(packet.begin() + r, packet.end());
      full = true;
    } else {
      ASSERT_EQ(errno, EAGAIN);
      full = true;
    }
  }
  EXPECT_TRUE(full);
  EXPECT_GT(whole, 2u);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(vi.message_count(), 0u);
  vi.set_reading(true);
  // Everything the line took arrives once reading resumes.
  if (!rest.empty()) {
    ASSERT_TRUE(host.write(rest));
    ++whole;
  }
  ASSERT_TRUE(vi.wait_for_packets(whole, 2s));
  vi.wait_quiet(30ms, 1s);
  EXPECT_EQ(vi.packet_count(), whole);
  EXPECT_EQ(vi.stats().header_errors, 0u);
}

TEST(EmulatorLine, WaitsEndOnTheirConditionOrTheirTimeout) {
  VirtualInstrument vi;
  HostLine host(vi.path());
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(vi.wait_for_messages(1, 40ms));
  EXPECT_FALSE(vi.wait_for_packets(1, 10ms));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 50ms);

  // Right after a host byte the line is not quiet; once the host stops it is.
  ASSERT_TRUE(host.write(Bytes{0x06}));
  ASSERT_TRUE(vi.wait_for_messages(1, 1s));
  t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(vi.wait_quiet(10s, 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 50ms);
  EXPECT_TRUE(vi.wait_quiet(30ms, 5s));
  // Each byte restarts the quiet period: the wait outlasts the chatter.
  std::vector<std::chrono::steady_clock::time_point> sent;
  std::thread chatter([&] {
    for (int i = 0; i < 10; ++i) {
      host.write(Bytes{0x06});
      sent.push_back(std::chrono::steady_clock::now());
      std::this_thread::sleep_for(5ms);
    }
  });
  ASSERT_TRUE(vi.wait_for_messages(2, 1s));
  EXPECT_TRUE(vi.wait_quiet(100ms, 5s));
  const std::size_t seen = vi.message_count();
  chatter.join();
  // A loaded machine may hold the chatter back long enough for the line to
  // be really quiet: only a chatter without such a pause must be outlasted.
  auto longest = std::chrono::steady_clock::duration::zero();
  for (std::size_t i = 1; i < sent.size(); ++i) longest = std::max(longest, sent[i] - sent[i - 1]);
  if (longest < 60ms) {
    EXPECT_EQ(seen, 11u);
  }
}

}  // namespace
