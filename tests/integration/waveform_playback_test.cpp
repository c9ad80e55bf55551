// Loaded and built-in waveforms reach the wire sample for sample.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "data/iec_tables.h"
#include "generator/packet_builder.h"
#include "orna.h"
#include "support/instrument.h"

using namespace std::chrono_literals;

namespace {

int Code(const orna::emu::Bytes& packet, int sample) {
  const unsigned char* w = &packet[(sample / 30) * 64 + 4 + 2 * (sample % 30)];
  return ((w[0] & 0x0F) << 8) | w[1];
}

// Code of v mV on the 5 mV normal range, computed as the encoder must.
int Expected(double v) {
  double x = v / 5.0 * 2000 + 2048;
  return x > 4095 ? 4095 : x < 0 ? 0 : static_cast<int>(x);
}

TEST(WaveformPlayback, LoadedFileLoopsOnTheWire) {
  // 250 samples per second, 100 samples: a 0.4 s loop, each sample held for
  // 20 output samples.
  std::string path = ::testing::TempDir() + "ramp.txt";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "250\n100\n");
  for (int i = 0; i < 100; ++i) std::fprintf(f, "%d\n", i * 40 - 2000);
  std::fclose(f);
  std::u16string wide(path.begin(), path.end());

  orna::emu::VirtualInstrument vi;
  orna::test::ScanPaths scan(vi.path());
  ASSERT_EQ(InitORNA(), 1);
  ASSERT_EQ(LoadECGtxt(wide.c_str()), 100);
  ASSERT_EQ(SetOutputFunc(OutputFuncECGFile), 0);
  vi.send_next_request();
  ASSERT_TRUE(vi.wait_for_packets(2, 2s));
  auto packets = vi.packets();
  // Time advances by repeated addition of 0.0002 s, as on the instrument's clock.
  double t = 0;
  const double period = 100 / 250.0;
  for (int n = 0; n < 3000; ++n, t += 0.0002) {
    double h = t - period * static_cast<double>(static_cast<long long>(t / period));
    int index = static_cast<int>(h * 250);
    ASSERT_LT(index, 100);
    ASSERT_EQ(Code(packets[n / 1500], n % 1500), Expected((index * 40 - 2000) / 1000.0))
        << "sample " << n;
  }
  CloseORNA();
}

TEST(WaveformPlayback, Iec227WrapsAtThePeriodEnd) {
  // Waveform 8 without a port: the packets are built all the same. Start a
  // few samples before the end of the 90.6 s period and check the last
  // meaningful table sample, then the wrap to the start.
  ASSERT_EQ(SetSpecialWave227(8), 0);
  unsigned char packet[orna::kPacketSize];
  const double period = orna::IEC227WL[8];
  orna::s_t = period - 10 * 0.0002;
  orna::_BuildPacket(packet);
  orna::emu::Bytes bytes(packet, packet + orna::kPacketSize);
  const std::int32_t* wave = orna::IEC227W + 8 * orna::kIEC227Length;
  for (int n = 0; n < 40; ++n) {
    double t = period - 10 * 0.0002;
    for (int i = 0; i < n; ++i) t += 0.0002;
    double h = t - period * static_cast<double>(static_cast<long long>(t / period));
    long long index = static_cast<long long>(h * 720);
    if (index > 65238) index = 65238;
    ASSERT_EQ(Code(bytes, n), Expected(wave[index] / 1000.0)) << "sample " << n;
  }
  EXPECT_EQ(wave[65238], 700);
  EXPECT_EQ(Code(bytes, 9), Expected(0.7));   // last sample of the period
  EXPECT_EQ(Code(bytes, 10), Expected(0.0));  // first table sample, 0 for this waveform
}

}  // namespace
