// Long concurrency soak (label soak, left out of the default run). Host
// threads hammer the setters, the test modes, the callbacks and the file
// loaders while the instrument streams at twenty times real time. Run it
// under ThreadSanitizer too. ORNA_SOAK_SECONDS sets the duration (180 s by
// default). A watchdog fails the run when neither the stream nor the host
// threads make progress for 30 s (a deadlock or a hung call).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "emulator/virtual_instrument.h"
#include "orna.h"
#include "support/instrument.h"

using namespace std::chrono_literals;

namespace {

std::atomic<long> g_graphPoints{0};
std::atomic<long> g_freqCalls{0};
void OnGraph(double, double) { g_graphPoints.fetch_add(1, std::memory_order_relaxed); }
void OnFreq(double) { g_freqCalls.fetch_add(1, std::memory_order_relaxed); }
void OnFunc(int) {}
// A callback that calls back into the library from the receive thread.
void OnGraphReading(double, double) { (void)GetAmplitude(); }

long Seconds() {
  const char* v = std::getenv("ORNA_SOAK_SECONDS");
  const long s = v != nullptr ? std::strtol(v, nullptr, 10) : 0;
  return s > 0 ? s : 180;
}

}  // namespace

TEST(Soak, HostThreadsHammerTheLibraryWhileItStreams) {
  const long seconds = Seconds();
  char path[] = "/tmp/orna-soak-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string text = "1000\n500\n";
  for (int i = 0; i < 500; ++i) text += std::to_string((i * 37) % 9000 - 4500) + "\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  const std::u16string wide(path, path + sizeof path - 1);

  orna::emu::Config config;
  config.record_packets = false;
  config.record_samples = false;
  config.queue_packets = 3;
  orna::emu::VirtualInstrument vi(config);
  orna::test::ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  ASSERT_EQ(LoadECGtxt(wide.c_str()), 500);
  vi.start_playback(20.0);
  ASSERT_EQ(SetOutputFunc(OutputFuncECGNotchedR), 0);

  std::atomic<bool> stop{false};
  std::atomic<long> ops{0};
  std::vector<std::thread> hosts;
  // Signal settings and output functions (never 0: the stream runs throughout).
  hosts.emplace_back([&] {
    std::mt19937 rng(1);
    while (!stop.load()) {
      switch (rng() % 8) {
        case 0: SetAmplitude(-10.0 + (rng() % 200) / 10.0); break;
        case 1: SetFrequency(0.5 + (rng() % 50) / 10.0); break;
        case 2: SetOutputFunc(1 + static_cast<int>(rng() % 13)); break;
        case 3: SetPacingAmplitude((rng() % 3) * 100.0); break;
        case 4: SetOutputLead(static_cast<int>(rng() % 9), rng() % 2); break;
        case 5: SetDCOffsetVariableMode(rng() % 2); SetDCOffset(static_cast<int>(rng() % 600) - 300); break;
        case 6: SetQRSDuration(5 + rng() % 195); SetTWave((rng() % 25) / 10.0); break;
        case 7: SetSpecialWave227(static_cast<int>(rng() % 10)); break;
      }
      ops.fetch_add(1);
    }
  });
  // Test modes.
  hosts.emplace_back([&] {
    std::mt19937 rng(2);
    while (!stop.load()) {
      switch (rng() % 4) {
        case 0: SetECG2_27_Noise(static_cast<int>(rng() % 3), 0.1); break;
        case 1: SetECG2_27_AAMIDriftTest(rng() % 2); break;
        case 2: SetDynamicRangeTest(rng() % 2, 1.0, 40.0); break;
        case 3: SetBaselineResetTest(0); break;
      }
      ops.fetch_add(1);
      std::this_thread::sleep_for(1ms);
    }
  });
  // Callbacks and getters.
  hosts.emplace_back([&] {
    std::mt19937 rng(3);
    while (!stop.load()) {
      switch (rng() % 4) {
        case 0: RegisterTimeAmpCB(rng() % 2 ? OnGraph : OnGraphReading); break;
        case 1: RegisterSyncFreqCB(rng() % 2 ? OnFreq : nullptr); break;
        case 2: RegisterSyncMainFuncCB(rng() % 2 ? OnFunc : nullptr); RegisterPacingTimeAmpCB(OnGraph); break;
        case 3: (void)GetOutputFunc(); (void)GetFrequency(); (void)GetSerialNo(); break;
      }
      ops.fetch_add(1);
    }
  });
  // File loads, and a reading of the AD value now and then.
  hosts.emplace_back([&] {
    long n = 0;
    while (!stop.load()) {
      EXPECT_EQ(LoadECGtxt(wide.c_str()), 500);
      if (++n % 20 == 0) (void)GetAD();
      ops.fetch_add(1);
      std::this_thread::sleep_for(2ms);
    }
  });

  // Watchdog: progress of both the stream and the host threads.
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    long lastOps = -1;
    std::uint64_t lastPackets = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (!done.load()) {
      std::this_thread::sleep_for(500ms);
      const long o = ops.load();
      const std::uint64_t p = vi.stats().packets_received;
      if (o != lastOps && (p != lastPackets || stop.load())) {
        lastProgress = std::chrono::steady_clock::now();
      }
      lastOps = o;
      lastPackets = p;
      if (std::chrono::steady_clock::now() - lastProgress > 30s) {
        std::fprintf(stderr, "soak: no progress for 30 s (ops %ld, packets %llu): deadlock\n", o,
                     static_cast<unsigned long long>(p));
        std::abort();
      }
    }
  });

  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (auto& t : hosts) t.join();
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  vi.wait_quiet(200ms, 5s);
  done = true;
  watchdog.join();
  const auto stats = vi.stats();
  std::printf("soak: %ld s, %ld host calls, %llu packets, %llu requests, %llu underruns, "
              "%ld graph points\n",
              seconds, ops.load(), static_cast<unsigned long long>(stats.packets_received),
              static_cast<unsigned long long>(stats.requests_sent),
              static_cast<unsigned long long>(stats.underruns), g_graphPoints.load());
  EXPECT_GT(ops.load(), seconds * 100);
  // At twenty times real time a packet plays in 15 ms.
  EXPECT_GT(stats.packets_received, static_cast<std::uint64_t>(seconds) * 30);
  EXPECT_EQ(stats.sequence_gaps, 0u);
  EXPECT_EQ(stats.header_errors, 0u);
  EXPECT_GE(stats.packets_received, stats.requests_sent);
  EXPECT_EQ(CloseORNA(), -1);
  unlink(path);
}
