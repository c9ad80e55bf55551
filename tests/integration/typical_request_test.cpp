// The road of a typical request, end to end over the pseudo-terminal: select
// the synthetic ECG on an idle instrument, stream, change the amplitude while
// streaming, stop, close.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "orna.h"
#include "support/instrument.h"

using namespace std::chrono_literals;
using orna::emu::Bytes;
using orna::emu::Kind;

namespace {

std::atomic<int> g_graph_calls{0};
std::atomic<bool> g_graph_on_host_thread{false};
std::thread::id g_host_thread;
void OnGraph(double, double) {
  g_graph_calls++;
  if (std::this_thread::get_id() == g_host_thread) g_graph_on_host_thread = true;
}

int Code(const Bytes& packet, int sample) {
  int frame = sample / 30, j = sample % 30;
  const unsigned char* w = &packet[frame * 64 + 4 + 2 * j];
  return ((w[0] & 0x0F) << 8) | w[1];
}

TEST(TypicalRequest, SyntheticEcgFromSelectionToClose) {
  orna::emu::VirtualInstrument vi;
  orna::test::ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  g_host_thread = std::this_thread::get_id();
  vi.clear();

  // 1-2. Selecting output 10 on an idle instrument: range, first packet, relays, offset clear.
  ASSERT_EQ(SetOutputFunc(OutputFuncECGNotchedR), 0);
  ASSERT_TRUE(vi.wait_for_messages(4, 2s));
  auto m = vi.messages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].bytes, (Bytes{0x00, 0x05}));
  ASSERT_EQ(m[1].kind, Kind::SamplePacket);
  EXPECT_EQ(m[1].bytes[0], 0x01);
  EXPECT_EQ(m[1].bytes[1], 0x00);
  EXPECT_EQ(m[2].bytes, (Bytes{0x07, 0x00, 0x00, 0x20, 0x00, 0x00}));
  EXPECT_EQ(m[3].bytes, (Bytes{0x06}));
  // The first packet starts with the P wave from zero: 2048 at h = 0.
  EXPECT_EQ(Code(m[1].bytes, 0), 2048);

  // 3. The instrument asks; each request gets the next 1 500 samples, and the
  // graph callback sees every 30th sample on the receive thread.
  RegisterTimeAmpCB(OnGraph);
  vi.send_next_request();
  ASSERT_TRUE(vi.wait_for_packets(2, 2s));
  EXPECT_EQ(g_graph_calls.load(), 50);
  EXPECT_FALSE(g_graph_on_host_thread.load());
  EXPECT_EQ(vi.packets()[1][1], 50);  // sequence continues
  // Answered without waiting for anything else; how fast is bench_stream's
  // to measure (a loaded machine adds its own delay here).
  auto latencies = vi.request_latencies();
  ASSERT_EQ(latencies.size(), 1u);
  EXPECT_GT(latencies[0], 0.0);
  EXPECT_LT(latencies[0], 1.0);

  // 4. A new amplitude while streaming is stored at once but applied at the
  // end of the beat: the rest of the current beat keeps the old R wave.
  ASSERT_EQ(SetAmplitude(2.0), 0);
  EXPECT_EQ(GetAmplitude(), 2.0);
  vi.send_next_request();  // samples 3000..4499: t = 0.6..0.9 s, still beat 1
  vi.send_next_request();  // 0.9..1.2 s: the beat ends at 1.0 s, the new one starts
  ASSERT_TRUE(vi.wait_for_packets(4, 2s));
  auto packets = vi.packets();
  // Old amplitude right before the cycle end: the T wave is over, value 0.
  EXPECT_EQ(Code(packets[3], 490), 2048);  // t = 0.998 s
  // After the restart the R crest (0.156 s into the beat) carries 1.605 mV:
  // 1.605 / 5 * 2000 + 2048 = 2690 (the old amplitude peaked at 2369).
  int crest = 0;
  for (int i = 0; i < 1500; ++i) crest = std::max(crest, Code(packets[3], i));
  EXPECT_GE(crest, 2689);
  EXPECT_LE(crest, 2690);
  int old_crest = 0;
  for (int i = 0; i < 1500; ++i) old_crest = std::max(old_crest, Code(packets[0], i));
  EXPECT_GE(old_crest, 2368);
  EXPECT_LE(old_crest, 2369);

  // 5. Output 0 stops at once; later requests get no packet.
  RegisterTimeAmpCB(nullptr);
  vi.clear();
  ASSERT_EQ(SetOutputFunc(OutputFuncNone), 0);
  ASSERT_TRUE(vi.wait_for_messages(1, 2s));
  EXPECT_EQ(vi.messages()[0].bytes, (Bytes{'S'}));
  vi.send_next_request();
  std::this_thread::sleep_for(150ms);  // several passes of the receive thread
  EXPECT_EQ(vi.packet_count(), 0u);

  // 6. Close: the reset's commands, then 'C' last; the port is closed.
  vi.clear();
  EXPECT_EQ(CloseORNA(), -1);
  ASSERT_TRUE(orna::test::WaitUntil([&] {
    auto m = vi.messages();
    return !m.empty() && m.back().bytes == Bytes{'C'};
  }));
  auto closing = vi.messages();
  ASSERT_FALSE(closing.empty());
  EXPECT_EQ(closing.back().bytes, (Bytes{'C'}));
  EXPECT_EQ(SetAmplitude(1.0), -1);
}

}  // namespace
