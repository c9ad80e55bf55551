// Many connections in a row leave nothing behind: no descriptor, no thread
// (and, under the address sanitizer, no leaked memory: its leak check runs at
// exit). ORNA_HYGIENE_CYCLES sets the count; 1 000 by default, 100 under the
// sanitizers, whose runtimes make every cycle several times slower.
#include <gtest/gtest.h>

#include "emulator/virtual_instrument.h"
#include "link/receive_thread.h"
#include "orna.h"
#include "support/instrument.h"

using namespace std::chrono_literals;
using namespace orna::test;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kDefaultCycles = 100;
#else
constexpr long kDefaultCycles = 1000;
#endif

// Polls (bounded) until the entries of `dir` number `expected`: the expected
// count usually holds at once, so a thousand cycles stay quick.
bool CountReaches(const char* dir, int expected) {
  return orna::test::WaitUntil([&] { return CountEntries(dir) == expected; }, 10s);
}

// Opens the instrument. The handshake gives the instrument about 100 ms per
// probe; with both cores loaded the virtual instrument's thread sometimes
// misses that, so a refused open is tried again (bounded): what this test
// counts is what each cycle leaves behind, and a failed open must leave
// nothing either.
int g_retries = 0;
bool Open() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (InitORNA() == 1) return true;
    ++g_retries;
  }
  return false;
}

}  // namespace

TEST(Hygiene, OpenStreamCloseCyclesLeaveNoDescriptorOrThread) {
  const long cycles = EnvCount("ORNA_HYGIENE_CYCLES", kDefaultCycles);
  orna::emu::VirtualInstrument vi(orna::emu::Config{});
  orna::test::ScanPaths scan(vi.path());
  // One cycle first: anything the library sets up once (and keeps) is made.
  ASSERT_TRUE(Open());
  ASSERT_EQ(CloseORNA(), -1);
  const int fds = OpenFds(), threads = Threads();
  std::uint64_t packets = vi.stats().packets_received;
  for (long i = 0; i < cycles; ++i) {
    ASSERT_TRUE(Open()) << "cycle " << i;
    ASSERT_TRUE(CountReaches("/proc/self/task", threads + 1)) << "cycle " << i;
    ASSERT_EQ(SetOutputFunc(i % 2 ? OutputFuncSine : OutputFuncECGSingleR), 0);
    vi.send_next_request();
    ASSERT_TRUE(vi.wait_for_packets(2, 10s)) << "cycle " << i;
    ASSERT_EQ(CloseORNA(), -1);
    ASSERT_TRUE(CountReaches("/proc/self/fd", fds)) << "cycle " << i << ": " << OpenFds() << " descriptors";
    ASSERT_TRUE(CountReaches("/proc/self/task", threads)) << "cycle " << i << ": " << Threads() << " threads";
    ASSERT_FALSE(orna::_ReceiveThreadRunning());
    packets += 2;
    vi.clear();
  }
  EXPECT_EQ(vi.stats().packets_received, packets);
  EXPECT_EQ(vi.stats().sequence_gaps, 0u);
  std::printf("%ld cycles, %d descriptors and %d threads throughout, %d opens tried again\n", cycles, fds,
              threads, g_retries);
}
