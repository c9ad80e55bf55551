// Shared set-up and decoding for the generator tests. Expected codes are
// worked out here from the conversion and waveform rules, not by the
// generator's own helpers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <vector>

#include "control/apply.h"
#include "control/relays.h"
#include "control/scheduling.h"
#include "generator/output_functions.h"
#include "generator/pacing.h"
#include "generator/pacing_internal.h"
#include "generator/packet_builder.h"
#include "generator/settings.h"
#include "link/serial_port.h"

namespace gentest {

using Packet = std::array<unsigned char, orna::kPacketSize>;

inline int WordOffset(int i) { return 64 * (i / 30) + 4 + 2 * (i % 30); }
inline int Code(const Packet& p, int i) {
  return ((p[WordOffset(i)] & 0x0F) << 8) | p[WordOffset(i) + 1];
}
inline int Flags(const Packet& p, int i) { return p[WordOffset(i)] & 0xF0; }

inline int NormalCode(double v, double range = 5.0) {
  const double x = v / range * 2000 + 2048;
  return x > 4095 ? 4095 : (x < 0 ? 0 : static_cast<int>(x));
}

inline Packet Build() {
  Packet p{};
  orna::_BuildPacket(p.data());
  return p;
}

// Codes of `count` samples 0.0002 s apart from waveform time t0 with period
// tp, for a value rule f(h, t).
inline std::vector<int> ExpectedCodes(double t0, double tp, int count,
                                      const std::function<double(double, double)>& f) {
  std::vector<int> codes;
  for (double t = t0; static_cast<int>(codes.size()) < count; t += 0.0002)
    codes.push_back(NormalCode(f(t - tp * static_cast<long long>(t / tp), t)));
  return codes;
}

inline void ExpectCodes(const std::vector<Packet>& packets, const std::vector<int>& expected) {
  int mismatches = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    const int got = Code(packets[i / 1500], static_cast<int>(i % 1500));
    if (got != expected[i] && mismatches++ < 5)
      ADD_FAILURE() << "sample " << i << ": code " << got << ", expected " << expected[i];
  }
  EXPECT_EQ(mismatches, 0);
}

// A pipe standing in for the port: the test reads back what was written.
class PipePort {
 public:
  PipePort() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    fcntl(fds_[1], F_SETFL, O_NONBLOCK);
    fcntl(fds_[1], F_SETPIPE_SZ, 1 << 20);
    orna::g_hFile = fds_[1];
  }
  ~PipePort() {
    orna::g_hFile = -1;
    close(fds_[0]);
    close(fds_[1]);
  }
  std::vector<unsigned char> Read() {
    std::vector<unsigned char> all;
    unsigned char buf[4096];
    for (ssize_t n; (n = read(fds_[0], buf, sizeof buf)) > 0;) all.insert(all.end(), buf, buf + n);
    return all;
  }

 private:
  int fds_[2];
};

// The state right after the apply engine ran for output 1 at the defaults.
class GeneratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    using namespace orna;
    g_MainOutput = 1;
    g_Amplitude = g_F = 1.0;
    g_T = 0.2;
    g_QRSDuration = 100.0;
    g_PA = 0;
    g_PacingDuration = 2.0;
    g_PacingRate = 60;
    g_PacingPulse = g_PacingOvershootTC = g_MainNoise = g_BaseLineOverload = 0;
    g_AAMIDriftTest = g_DynamicRangeTest = false;
    g_FreqScan1 = g_FreqScan3 = s_FreqScanOn = false;
    s_A = 0.5;
    s_tp = 1.0;
    s_PW = 0.1;
    s_PacDelayTP = s_t = s_tg = 0;
    s_Range = 5.0;
    s_SeqCheck = 0;
    s_PulsesRequired = 0;
    s_PacingIndicationNeeded = false;
    _PacingStateForTesting()._PacingPulseTriggered = false;
    _PacingStateForTesting()._PacingHighRangeClearingNeeded = false;
    s_ChangeOnNextCycle = _ChangeInProcess = s_ECGGoing = false;
    g_GraphCB = g_PacingGraphCB = nullptr;
    g_SyncFreqCB = nullptr;
    g_SyncMainFuncCB = nullptr;
  }
};

}  // namespace gentest
