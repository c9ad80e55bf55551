// The sample path allocates nothing: global operator new is replaced in this
// executable and counts what the test thread allocates while packets are
// built and written, for every output function, with pacing, callbacks,
// test modes and deferred changes at the cycle ends.
#include <atomic>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "emulator/virtual_instrument.h"
#include "generator/packet_builder.h"
#include "link/lock.h"
#include "orna.h"
#include "support/instrument.h"

namespace {

thread_local bool t_counting = false;
thread_local long t_allocations = 0;

void* Allocate(std::size_t n) {
  if (t_counting) ++t_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (t_counting) ++t_allocations;
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  if (t_counting) ++t_allocations;
  return std::malloc(n == 0 ? 1 : n);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Also counted on the receive thread when the instrument asks for a packet.
std::atomic<long> g_points{0};
void OnGraph(double, double) { g_points.fetch_add(1, std::memory_order_relaxed); }
void OnFreq(double) {}
void OnFunc(int) {}

// Allocations made by `packets` packets built and written on this thread.
long AllocationsFor(int packets) {
  orna::LockGuard lock(orna::s_lock);
  t_allocations = 0;
  t_counting = true;
  for (int i = 0; i < packets; ++i) orna::_SendNextPacket();
  t_counting = false;
  return t_allocations;
}

}  // namespace

TEST(SamplePath, AllocatesNothingPerPacket) {
  // The counter itself works.
  t_counting = true;
  delete new int(1);
  t_counting = false;
  ASSERT_EQ(t_allocations, 1);

  char path[] = "/tmp/orna-alloc-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = "500\n5\n100\n-200\n300\n-400\n500\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  const std::u16string wide(path, path + sizeof path - 1);
  ASSERT_EQ(LoadECGtxt(wide.c_str()), 5);
  unlink(path);

  orna::emu::Config config;
  config.record_packets = false;
  config.record_samples = false;
  orna::emu::VirtualInstrument vi(config);
  orna::test::ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  vi.start_flood();  // the instrument keeps reading, so no write waits
  RegisterTimeAmpCB(OnGraph);
  RegisterPacingTimeAmpCB(OnGraph);
  RegisterSyncFreqCB(OnFreq);
  RegisterSyncMainFuncCB(OnFunc);
  ASSERT_EQ(SetPacingAmplitude(300.0), 0);
  ASSERT_EQ(SetPacingRate(300), 0);
  ASSERT_EQ(SetPacingPulseMode(1), 0);
  ASSERT_EQ(SetOvershootTimeConstant(20), 0);

  for (int n = OutputFuncSine; n <= OutputFuncECGFile; ++n) {
    if (n == OutputFuncIEC227) {
      ASSERT_EQ(SetSpecialWave227(3), 0);
    } else if (n == OutputFuncIEC251) {
      ASSERT_EQ(SetSpecialWave251(2), 0);
    } else {
      ASSERT_EQ(SetOutputFunc(n), 0);
    }
    ASSERT_EQ(SetFrequency(n == OutputFuncPulse || n == OutputFuncTrianglePulse ? 3.0 : 20.0), 0);
    if (n == OutputFuncCalECG) {
      ASSERT_EQ(SetECG2_27_Noise(1, 0.1), 0);
      ASSERT_EQ(SetECG2_27_AAMIDriftTest(true), 0);
    }
    if (n == OutputFuncSquare) {
      ASSERT_EQ(SetDynamicRangeTest(true, 1.0, 40.0), 0);
    }
    // A change waiting for the cycle end, applied inside the counted packets.
    ASSERT_EQ(SetAmplitude(2.0 + n / 10.0), 0);
    const long before = g_points;
    EXPECT_EQ(AllocationsFor(20), 0) << "output " << n;
    // Every 30th sample reaches the graph, plus the pacing rectangles.
    EXPECT_GE(g_points - before, 20 * 50) << "output " << n;
  }
  // A running frequency scan, which ends inside the counted packets.
  ASSERT_EQ(SetOutputFunc(OutputFuncSine), 0);
  ASSERT_EQ(SetFreqScanSine(true, 100.0, 101.0, 10), 0);
  EXPECT_EQ(AllocationsFor(40), 0);
  EXPECT_EQ(CloseORNA(), -1);
}
