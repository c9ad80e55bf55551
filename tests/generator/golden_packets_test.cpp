// Recorded digests of whole streams: every output function with and without
// pacing, the overlays, both scans, a deferred change, the callbacks. The
// digests were taken from the straightforward builder before it was tuned for
// speed; any change of a single sample code, flag, header byte or callback
// value changes them.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "data/ecg_file.h"
#include "emulator/host_parser.h"
#include "generator_fixture.h"
#include "orna.h"

using namespace gentest;
using namespace orna;

namespace {

// 64-bit FNV-1a over everything the stream produced.
struct Digest {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  void Add(const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) {
      h ^= p[i];
      h *= 0x100000001b3ULL;
    }
  }
  void Add(double v) { Add(&v, sizeof v); }
};

Digest* g_digest = nullptr;
void Graph(double t, double v) {
  const char tag = 'g';
  g_digest->Add(&tag, 1);
  g_digest->Add(t);
  g_digest->Add(v);
}
void PacingGraph(double t, double v) {
  const char tag = 'p';
  g_digest->Add(&tag, 1);
  g_digest->Add(t);
  g_digest->Add(v);
}
void SyncFreq(double f) {
  const char tag = 'f';
  g_digest->Add(&tag, 1);
  g_digest->Add(f);
}

// A file waveform with a distinct value at every index.
double g_file[997];

void Defaults() {
  g_MainOutput = kDefaultMainOutput;
  SpecialWaveFormNo = kDefaultSpecialWaveFormNo;
  g_Amplitude = kDefaultAmplitude;
  g_F = kDefaultF;
  g_PulseWidth = kDefaultPulseWidth;
  g_QRSDuration = kDefaultQRSDuration;
  g_T = kDefaultT;
  g_PA = kDefaultPA;
  g_PacingDuration = kDefaultPacingDuration;
  g_PacingRate = kDefaultPacingRate;
  g_PacingPulse = kDefaultPacingPulse;
  g_PacingOvershootTC = kDefaultPacingOvershootTC;
  g_MainNoise = kDefaultMainNoise;
  g_MainsNoiseAmp = kDefaultMainsNoiseAmp;
  g_AAMIDriftTest = kDefaultAAMIDriftTest;
  g_DynamicRangeTest = kDefaultDynamicRangeTest;
  g_ADynamicRange = kDefaultADynamicRange;
  g_FDynamicRange = kDefaultFDynamicRange;
  g_FreqScan1 = kDefaultFreqScan1;
  g_FreqScan3 = kDefaultFreqScan3;
  s_FreqScanOn = false;
  g_BaseLineOverload = kDefaultBaseLineOverload;
  g_DCVariable = kDefaultDCVariable;
  s_t = s_tg = 0;
  _PacingStateForTesting().s_ppc = 0;
  s_PacingIndicationNeeded = false;
  _PacingStateForTesting()._PacingPulseTriggered = false;
  _PacingStateForTesting()._PacingHighRangeClearingNeeded = false;
  s_ChangeOnNextCycle = s_ChangeMissed = _ChangeInProcess = s_ECGGoing = false;
  g_GraphCB = g_PacingGraphCB = nullptr;
  g_SyncFreqCB = nullptr;
  g_SyncMainFuncCB = nullptr;
}

struct Case {
  const char* name;
  std::function<void()> setup;  // settings; the stream then starts through the apply engine
  std::uint64_t digest;
  std::function<void(int)> before_packet = nullptr;  // called before packet n (n >= 1)
  bool started_by_setup = false;  // the setup itself starts the stream (scans)
};

constexpr int kPackets = 8;  // 2.4 s of signal: two pacing pulses at 60 per minute

std::uint64_t StreamDigest(const Case& c) {
  Defaults();
  Digest digest;
  g_digest = &digest;
  PipePort port;
  emu::HostParser parser;
  auto drain = [&] {
    const std::vector<unsigned char> bytes = port.Read();
    for (const auto& [kind, msg] : parser.feed(bytes.data(), bytes.size())) {
      if (kind == emu::Kind::SamplePacket) digest.Add(msg.data(), msg.size());
    }
  };
  c.setup();
  if (!c.started_by_setup) _Change();
  drain();
  for (int n = 1; n < kPackets && s_ECGGoing; ++n) {
    if (c.before_packet) c.before_packet(n);
    _SendNextPacket();
    drain();
  }
  g_digest = nullptr;
  Defaults();
  return digest.h;
}

void Fn(int n, double amplitude = 2.0, double f = 2.3) {
  g_MainOutput = n;
  g_Amplitude = amplitude;
  g_F = f;
  SpecialWaveFormNo = n == OutputFuncIEC227 ? 3 : 2;
  for (int i = 0; i < 997; ++i) g_file[i] = (i * 37 % 1001) - 500.5;
  ECGFile = g_file;
  ECGFileSize = 997;
  ECGFileFreq = 500.0;
}

void Paced(int n, double pa = 1.0) {
  Fn(n);
  g_PA = pa;
}

std::vector<Case> Cases() {
  return {
      {"sine", [] { Fn(1); }, 0xa7a63eeb4f627cce},
      {"triangle", [] { Fn(2); }, 0xd0088072c0bb9054},
      {"square", [] { Fn(3); }, 0x9390e8d9b825dc8d},
      {"pulse", [] { Fn(4); }, 0x43efea30860438c1},
      {"triangle pulse", [] { Fn(5); }, 0xe243cda720f35e46},
      {"exponential", [] { Fn(6); }, 0xf2c6a040932f1143},
      {"calibration ECG", [] { Fn(7); }, 0xc5a72060a89e5355},
      {"IEC 227 #3", [] { Fn(8); }, 0x244e590b0e81fbbe},
      {"IEC 251 #2", [] { Fn(9); }, 0x29723b1cec4bf925},
      {"notched R", [] { Fn(10); }, 0xefc5deadd6a62e8b},
      {"single R", [] { Fn(11); }, 0x310cdbf8c6154074},
      {"bi-exponential", [] { Fn(12); }, 0xfbbd2756a02bf5ec},
      {"file", [] { Fn(13); }, 0x417f6d29e678f0c5},
      {"no function", [] { Fn(42); }, 0x8e2001a68bc9b65},
      {"IEC 227 bad row", [] { Fn(8); SpecialWaveFormNo = 12; }, 0x8e2001a68bc9b65},
      {"paced sine", [] { Paced(1); }, 0xbc550ed644fd79e2},
      {"paced triangle", [] { Paced(2); }, 0xab0957787d707484},
      {"paced square", [] { Paced(3); }, 0x928aa15cd6029add},
      {"paced pulse", [] { Paced(4); }, 0x1bbe93f5151ab9f1},
      {"paced triangle pulse", [] { Paced(5); }, 0xaeb228573608078a},
      {"paced exponential", [] { Paced(6); }, 0xfb4417f4a65e8a23},
      {"paced calibration ECG", [] { Paced(7); }, 0x80574f9f5d75f5c1},
      {"paced IEC 227", [] { Paced(8); }, 0x8c0d6f5e30be7ac6},
      {"paced IEC 251", [] { Paced(9); }, 0xa8a399b8d910b2f5},
      {"paced notched R", [] { Paced(10); }, 0xd43b299669bdd5f7},
      {"paced single R", [] { Paced(11); }, 0x8cecd954a1e03260},
      {"paced bi-exponential", [] { Paced(12); }, 0xccca6f49781c050c},
      {"paced file", [] { Paced(13); }, 0xd5b6cf43dabb3f61},
      {"high-range odd pulse, overshoot, mode 1",
       [] {
         Paced(10, 5.0);
         g_PacingDuration = 1.5;
         g_PacingOvershootTC = 10;
         g_PacingPulse = 1;
         g_PacingRate = 120;
       },
       0x9472cc24728eb17c},
      {"negative pulse, mode 2, single tick",
       [] {
         Paced(1, -2.2);
         g_PacingDuration = 0.1;
         g_PacingOvershootTC = 40;
         g_PacingPulse = 2;
         g_PacingRate = 100;
       },
       0xe35975e32f59d4a2},
      {"mains noise 50 Hz",
       [] {
         Fn(7, 1.0, 1.0);
         g_MainNoise = 1;
         g_MainsNoiseAmp = 0.2;
       },
       0xf1171455cfe2b9be},
      {"mains noise 60 Hz and drift",
       [] {
         Fn(7, 1.0, 1.0);
         g_MainNoise = 2;
         g_MainsNoiseAmp = 0.15;
         g_AAMIDriftTest = true;
       },
       0x33d01203752bf647},
      {"drift, clamped at the range",
       [] {
         Fn(7, 9.0, 1.0);
         g_AAMIDriftTest = true;
       },
       0x80c5f6d34af534b9},
      {"dynamic range on triangle",
       [] {
         Fn(2, 9.0, 1.0);
         g_DynamicRangeTest = true;
         g_ADynamicRange = 1.6;
       },
       0xe8200238473105a4},
      {"dynamic range on square",
       [] {
         Fn(3, 3.0, 1.0);
         g_DynamicRangeTest = true;
         g_ADynamicRange = 8.0;
         g_FDynamicRange = 11.0;
       },
       0x78e5e1dbc7337c4},
      {"baseline overload",
       [] {
         Paced(1, 3.0);
         g_BaseLineOverload = 1;
         g_PacingDuration = 0.7;
       },
       0x69e52488627d07fc},
      {"sine scan",
       [] {
         g_SyncFreqCB = SyncFreq;
         SetFreqScanSine(true, 1.0, 40.0, 10);
       },
       0x936a2efac4dc63e7, nullptr, true},
      {"sine scan that ends at once",
       [] {
         g_SyncFreqCB = SyncFreq;
         SetFreqScanSine(true, 5.0, 2.0, 10);
       },
       0x508a3fe658935eca, nullptr, true},
      {"calibration ECG scan",
       [] {
         g_SyncFreqCB = SyncFreq;
         g_Amplitude = 2.0;
         SetFreqScanECG(true);
       },
       0x84baba7f72e89c21, nullptr, true},
      {"graph callbacks with pacing",
       [] {
         Paced(11, 1.5);
         g_GraphCB = Graph;
         g_PacingGraphCB = PacingGraph;
       },
       0xc71d3ce636c04bea},
      {"deferred change mid-stream",
       [] { Fn(10, 1.0, 1.9); },
       0x2f73d8c2cbf23df,
       [](int n) {
         if (n != 3) return;
         g_Amplitude = 3.0;
         g_F = 1.2;
         g_PA = 2.0;
         _ChangeRequested();
       }},
      {"slow IEC 227 with a change at once",
       [] { Fn(8); },
       0x487dc155ebebd1fe,
       [](int n) {
         if (n != 2) return;
         g_F = 0.1;  // below 0.15 Hz: applied at the next sample
         SpecialWaveFormNo = 5;
         _ChangeRequested();
       }},
  };
}

}  // namespace

TEST(GoldenPackets, EveryStreamMatchesItsRecordedDigest) {
  const std::vector<Case> cases = Cases();
  int mismatches = 0;
  for (const Case& c : cases) {
    const std::uint64_t got = StreamDigest(c);
    if (got != c.digest) {
      ++mismatches;
      ADD_FAILURE() << c.name << ": digest 0x" << std::hex << got << ", recorded 0x" << c.digest;
    }
  }
  ECGFile = nullptr;
  ECGFileSize = 0;
  EXPECT_EQ(mismatches, 0);
}

TEST(GoldenPackets, DigestsDependOnEverySampleAndAreRepeatable) {
  // The harness itself: the same case twice gives the same digest, and a
  // one-code difference (amplitude nudged) gives another.
  const Case base{"sine", [] { Fn(1); }, 0};
  const Case nudged{"sine", [] { Fn(1, 2.0 + 1e-3); }, 0};
  const std::uint64_t a = StreamDigest(base);
  EXPECT_EQ(StreamDigest(base), a);
  EXPECT_NE(StreamDigest(nudged), a);
  ECGFile = nullptr;
  ECGFileSize = 0;
}
