// A host thread changes settings, reads them back and swaps callbacks while
// the instrument asks for packets as fast as it can. Nothing may race (run
// under ThreadSanitizer), no packet may be lost or duplicated, and the frame
// sequence must stay continuous.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "orna.h"
#include "support/instrument.h"

using namespace std::chrono_literals;

namespace {

std::atomic<long> g_graph_calls{0};
void OnGraph(double, double) { g_graph_calls.fetch_add(1, std::memory_order_relaxed); }
void OnFreq(double) {}
void OnFunc(int) {}

TEST(Concurrency, HostCallsWhileStreamingAsFastAsPossible) {
  orna::emu::VirtualInstrument vi;
  orna::test::ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  vi.start_flood();
  RegisterTimeAmpCB(OnGraph);
  ASSERT_EQ(SetOutputFunc(OutputFuncECGNotchedR), 0);

  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::thread host([&] {
    std::mt19937 rng(1234);
    const int functions[] = {1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12};
    while (!stop.load()) {
      switch (rng() % 10) {
        case 0: EXPECT_EQ(SetAmplitude(0.5 + (rng() % 40) / 10.0), 0); break;
        case 1: SetFrequency(0.5 + (rng() % 30) / 10.0); break;
        case 2: EXPECT_EQ(SetOutputFunc(functions[rng() % 11]), 0); break;
        case 3: EXPECT_EQ(SetPacingAmplitude((rng() % 3) * 2.0), 0); break;
        case 4: EXPECT_EQ(SetOutputLead(static_cast<int>(rng() % 9), rng() % 2), 0); break;
        case 5: RegisterTimeAmpCB(rng() % 2 ? OnGraph : nullptr); break;
        case 6: RegisterSyncFreqCB(rng() % 2 ? OnFreq : nullptr); RegisterSyncMainFuncCB(OnFunc); break;
        case 7: (void)GetAmplitude(); (void)GetFrequency(); (void)GetOutputFunc(); break;
        case 8: EXPECT_EQ(SetQRSDuration(50 + rng() % 100), 0); break;
        case 9: EXPECT_EQ(SetInputImpedanceMode(rng() % 2), 0); break;
      }
      calls.fetch_add(1);
    }
  });
  std::this_thread::sleep_for(3s);
  stop = true;
  host.join();

  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  vi.wait_quiet(200ms, 2s);
  auto stats = vi.stats();
  auto packets = vi.packets();
  EXPECT_GT(calls.load(), 1000);
  EXPECT_GT(packets.size(), 50u);
  EXPECT_EQ(stats.sequence_gaps, 0u);
  EXPECT_EQ(stats.header_errors, 0u);
  // Every request answered once: the first packet comes unasked, and the last
  // request may have met the stopped stream.
  EXPECT_GE(stats.packets_received, stats.requests_sent);
  EXPECT_LE(stats.packets_received, stats.requests_sent + 1);
  auto seq = orna::test::FrameSequence(packets);
  ASSERT_FALSE(seq.empty());
  EXPECT_EQ(seq.front(), 0);
  for (size_t i = 1; i < seq.size(); ++i) ASSERT_EQ(seq[i], (seq[i - 1] + 1) % 256) << "frame " << i;
  CloseORNA();
}

}  // namespace
