// Cost of building one sample packet (1 500 samples, 0.3 s of signal) for every
// output function, beside a bare loop that computes the same 1 500 values with
// the same formulas but keeps no generator state, encodes nothing and calls
// nothing back. The ratio of the two is the builder's overhead; the apply
// engine's cost for a typical change closes the list.
//
// Arguments of BM_Packet: output function, pacing (0/1), graph callback (0/1).
// Arguments of BM_Bare: output function, pacing (0/1).
// The counter "mismatches" of BM_Bare counts first-packet samples whose code,
// worked out from the bare value, differs from the builder's (0 keeps the
// comparison honest).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "control/apply.h"
#include "control/relays.h"
#include "data/ecg_file.h"
#include "data/iec_tables.h"
#include "generator/output_functions.h"
#include "generator/pacing.h"
#include "generator/pacing_internal.h"
#include "generator/packet_builder.h"
#include "generator/settings.h"
#include "generator/synthetic_ecg.h"
#include "generator/synthetic_ecg_internal.h"
#include "link/serial_port.h"
#include "orna.h"

using namespace orna;

namespace {

constexpr int kNoiseAndDrift = 70;  // pseudo function number: 7 with mains noise and drift

std::vector<double> g_file;  // one second of a 500 samples/s waveform

void Graph(double, double v) { benchmark::DoNotOptimize(v); }

// The state the apply engine leaves for `fn` while streaming, without a port.
void Configure(int fn, bool pacing, bool graph) {
  g_hFile = -1;
  g_MainOutput = fn == kNoiseAndDrift ? OutputFuncCalECG : fn;
  g_Amplitude = 2.0;
  g_F = 1.2;
  SpecialWaveFormNo = 3;
  g_MainNoise = fn == kNoiseAndDrift ? 1 : 0;
  g_MainsNoiseAmp = 0.2;
  g_AAMIDriftTest = fn == kNoiseAndDrift;
  g_DynamicRangeTest = false;
  g_PA = pacing ? 1.0 : 0.0;
  g_PacingOvershootTC = pacing ? 20 : 0;
  g_PacingRate = 120;  // a pulse in every second packet
  g_BaseLineOverload = 0;
  g_FreqScan1 = g_FreqScan3 = s_FreqScanOn = false;
  if (g_file.empty()) {
    for (int i = 0; i < 500; ++i) g_file.push_back(1000.0 * std::sin(i * 0.0125663706));
  }
  ECGFile = g_file.data();
  ECGFileSize = static_cast<int>(g_file.size());
  ECGFileFreq = 500.0;
  g_GraphCB = graph ? Graph : nullptr;
  g_PacingGraphCB = nullptr;
  s_ChangeOnNextCycle = false;
  s_ECGGoing = true;  // already streaming: the engine builds no packet of its own
  _Change();
}

void BM_Packet(benchmark::State& state) {
  Configure(static_cast<int>(state.range(0)), state.range(1) != 0, state.range(2) != 0);
  unsigned char packet[kPacketSize];
  for (auto _ : state) {
    _BuildPacket(packet);
    benchmark::DoNotOptimize(packet);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSamplesPerPacket);
  g_GraphCB = nullptr;
  s_ECGGoing = false;
}

// The working values the bare loop reads, copied once: no globals, no state
// beyond the pacing count that the formulas themselves need.
struct Working {
  int fn;
  double A, tp, F, PW, D, t1, t2, t3, t4, t5, T, noise, range;
  int mains;
  bool drift;
  const std::int32_t* row227;
  const std::int32_t* row251;
  const double* file;
  double file_freq;
  // Synthetic ECG geometry.
  double pb, pao, pe, pf, pha, pend, qb, qt, qtt, aq, qe, qft, r1c, r1tc, ar1, r1t, rtt, r1tt, r1a,
      r2c, r2tc, art, r2a, re, ar2, r2tt, st, stt, as, se, te, tsb, tf, at;
  // Pacing.
  bool pacing;
  double pa, pp, otc, poa, n;
};

Working Snapshot() {
  Working w{};
  w.fn = g_MainOutput;
  w.A = s_A;
  w.tp = s_tp;
  w.F = g_F;
  w.PW = s_PW;
  w.D = s_PacDelayTP;
  w.t1 = s_t1, w.t2 = s_t2, w.t3 = s_t3, w.t4 = s_t4, w.t5 = s_t5;
  w.T = g_T;
  w.noise = s_MainsNoiseAmplitude;
  w.range = s_Range;
  w.mains = g_MainNoise;
  w.drift = g_AAMIDriftTest;
  w.row227 = IEC227W + SpecialWaveFormNo * kIEC227Length;
  w.row251 = IEC251W + SpecialWaveFormNo * kIEC251Length;
  w.file = ECGFile;
  w.file_freq = ECGFileFreq;
  const ECGTemplate& e = _ECGTemplateForTesting();
  w.pb = e.s_tP_SinBegin, w.pao = e.s_P_SinAmpOffset, w.pe = e.s_tP_SinEnd, w.pf = e.s_P_SinFreq;
  w.pha = e.s_P_SinHalfAmp, w.pend = e.s_tP_End, w.qb = e.s_tQ_Begin, w.qt = e.s_tQ_Trough;
  w.qtt = e.s_tQ_ToTrough, w.aq = e.s_aQ_Trough, w.qe = e.s_tQ_End, w.qft = e.s_tQ_FromTrough;
  w.r1c = e.s_tR1_Crest, w.r1tc = e.s_tR1_ToCrest, w.ar1 = e.s_aR1_Crest, w.r1t = e.s_tR1_Trough;
  w.rtt = e.s_tR_ToTrough, w.r1tt = e.s_tR1_ToTrough, w.r1a = e.s_R1_Amp, w.r2c = e.s_tR2_Crest;
  w.r2tc = e.s_tR2_ToCrest, w.art = e.s_aR_Trough, w.r2a = e.s_R2_Amp, w.re = e.s_tR_End;
  w.ar2 = e.s_aR2_Crest, w.r2tt = e.s_tR2_ToTrough, w.st = e.s_tS_Trough, w.stt = e.s_tS_ToTrough;
  w.as = e.s_aS_Trough, w.se = e.s_tS_End, w.te = e.s_tT_End, w.tsb = e.s_tT_SinBegin;
  w.tf = e.p_T_SinFreq, w.at = e.s_aT_Trough;
  w.pacing = s_PulsesRequired > 0;
  w.pa = g_PA;
  const PacingState& pacing = _PacingStateForTesting();
  w.pp = pacing.s_pp;
  w.otc = pacing.s_OTC;
  w.poa = pacing.s_POA;
  w.n = std::trunc(g_PacingDuration / 1000 * 10000.0);
  return w;
}

inline double Ecg(const Working& w, double h, bool notched) {
  if (h < w.pb) return (h / w.pb) * w.pao;
  if (h < w.pe) return w.pao + w.pha * std::sin((h - w.pb) * 6.2831853 * w.pf);
  if (h < w.pend) return w.pao - w.pao * ((h - w.pe) / w.pb);
  if (h < w.qb) return 0.0;
  if (h < w.qt) return ((h - w.qb) / w.qtt) * w.aq;
  if (h < w.qe) return w.aq - w.aq * ((h - w.qt) / w.qft);
  if (h < w.r1c) return ((h - w.qe) / w.r1tc) * w.ar1;
  if (!notched && h < w.re) return w.ar1 - w.ar1 * ((h - w.r1c) / w.rtt);
  if (h < w.r1t) return w.ar1 - w.r1a * ((h - w.r1c) / w.r1tt);
  if (h < w.r2c) return w.art + w.r2a * ((h - w.r1t) / w.r2tc);
  if (h < w.re) return w.ar2 - w.ar2 * ((h - w.r2c) / w.r2tt);
  if (h < w.st) return ((h - w.re) / w.stt) * w.as;
  if (h < w.se) return w.as;
  if (h < w.te) return -(w.at * std::sin((h - w.tsb) * 6.2831853 * w.tf + 3.14159265));
  return 0.0;
}

inline double Value(const Working& w, double h, double t) {
  switch (w.fn) {
    case 1:
      return std::sin(t * 6.2831853 * w.F) * w.A;
    case 2: {
      const double k = w.A * 4 / w.tp;
      if (h < w.tp * 0.25) return h * k;
      if (h < w.tp * 0.75) return w.A * 2 - h * k;
      return h * k - w.A * 4;
    }
    case 3:
      return h < w.tp * 0.5 ? w.A : -w.A;
    case 4: {
      if (h < 0.001) return w.A * 2 * h / 0.001 - w.A;
      const double e = w.PW + 0.001;
      if (h < e - 0.001) return w.A;
      if (h < e) return w.A - (h - e + 0.001) * w.A * 2 / 0.001;
      return -w.A;
    }
    case 5:
      if (h < w.D) return -w.A;
      if (h < w.PW * 0.5 + w.D) return w.A * 4 / w.PW * (h - w.D) - w.A;
      if (h < w.PW + w.D) return w.A * 4 - (h - w.D) * (w.A * 4 / w.PW) - w.A;
      return -w.A;
    case 6:
      return std::exp(-h / 0.05) * w.A - w.A * 0.5;
    case 7: {
      double v = 0.0;
      if (h < 0.01) {
        v = 0.0;
      } else if (h < w.t1) {
        v = (h - 0.01) * 0.875 / (w.t1 - 0.01) * w.A;
      } else if (h < w.t2) {
        v = (0.875 - (h - w.t1) / (w.t2 - w.t1)) * w.A;
      } else if (h < w.t3) {
        v = ((h - w.t2) * 0.125 / (w.t3 - w.t2) - 0.125) * w.A;
      } else if (w.t4 <= h && h < w.t5) {
        v = std::sin((h - w.t4) * 6.2831853 / 0.36) * w.T;
      }
      if (w.mains != 0) v = v + std::sin(t * 6.2831853 * (w.mains == 1 ? 50.0 : 60.0)) * w.noise;
      if (w.drift) {
        const double d = t - 10 * std::trunc(t / 10);
        v = d < 2.5 ? v + d * 0.8 : (d < 7.5 ? v + (4 - d * 0.8) : v + (d * 0.8 - 8));
      }
      return v > w.range ? w.range : (v < -w.range ? -w.range : v);
    }
    case 8:
      return w.row227[static_cast<int>(h * 720)] / 1000.0;
    case 9:
      return w.row251[static_cast<int>(h * 1000)] / 1000.0;
    case 10:
      return Ecg(w, h, true);
    case 11:
      return Ecg(w, h, false);
    case 12:
      if (h < 0.5) return std::exp(-h / 0.05) * w.A;
      return -(w.A * std::exp(-(h - 0.5) / 0.05));
    case 13:
      return w.file[static_cast<int>(h * w.file_freq)] / 1000;
    default:
      return 0.0;
  }
}

// The pulse-start test and the pulse shape, on local state.
struct BarePacing {
  int ppc = 1000;
  bool latch = false;
  bool high = false, half = false;

  void Check(const Working& w, double t) {
    const double k = std::trunc(t / w.pp + 0.000001);
    const double r = t - w.pp * k;
    if (r > 0.01) {
      latch = false;
    } else if (!latch && r < 0.000205) {
      latch = true;
      ppc = 0;
    }
  }
  double Apply(const Working& w, double t, double v) {
    high = half = false;
    Check(w, t + 0.02);
    const double remaining = w.n - ppc;
    if (remaining > 0) {
      half = remaining == 1;
      ppc += half ? 1 : 2;
      return v + w.pa;  // the pacing amplitude of the benchmark stays on the normal range
    }
    if (w.otc != 0) v = v + w.poa * std::exp((remaining / 10000.0) / w.otc);
    ppc += 2;
    return v;
  }
};

// Values of one packet from waveform time t0; returns the time after it.
double BarePacket(const Working& w, BarePacing& pacing, double t0, double* out) {
  double t = t0;
  for (int i = 0; i < kSamplesPerPacket; ++i) {
    const double h = t - w.tp * std::trunc(t / w.tp);
    double v = Value(w, h, t);
    if (w.pacing) v = pacing.Apply(w, t, v);
    out[i] = v;
    t += pacing.half ? 0.0001 : 0.0002;
  }
  return t;
}

int CodeOf(const Working& w, double v) {
  const double x = v / w.range * 2000 + 2048;
  return x > 4095 ? 4095 : (x < 0 ? 0 : static_cast<int>(x));
}

void BM_Bare(benchmark::State& state) {
  Configure(static_cast<int>(state.range(0)), state.range(1) != 0, false);
  const Working w = Snapshot();
  // The builder's first packet, for the comparison of the values.
  unsigned char packet[kPacketSize];
  _BuildPacket(packet);
  s_ECGGoing = false;

  static double values[kSamplesPerPacket];
  BarePacing check_pacing;
  BarePacket(w, check_pacing, 0.0, values);
  int mismatches = 0;
  for (int i = 0; i < kSamplesPerPacket; ++i) {
    const unsigned char* word = packet + 64 * (i / 30) + 4 + 2 * (i % 30);
    if ((((word[0] & 0x0F) << 8) | word[1]) != CodeOf(w, values[i])) ++mismatches;
  }

  BarePacing pacing;
  double t = 0.0;
  for (auto _ : state) {
    t = BarePacket(w, pacing, t, values);
    benchmark::DoNotOptimize(values);
    benchmark::ClobberMemory();
  }
  state.counters["mismatches"] = mismatches;
  state.SetItemsProcessed(state.iterations() * kSamplesPerPacket);
}

// A typical change while streaming: the amplitude of the synthetic ECG, as
// the packet builder applies it at the end of a beat (no port: the commands
// are built but not written).
void BM_ApplyChange(benchmark::State& state) {
  Configure(static_cast<int>(state.range(0)), state.range(1) != 0, false);
  double amplitude = 1.0;
  for (auto _ : state) {
    g_Amplitude = amplitude;
    amplitude = amplitude == 1.0 ? 1.5 : 1.0;
    _Change();
  }
  s_ECGGoing = false;
}

void PacketArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"fn", "pacing", "graph"});
  for (int fn = 1; fn <= 13; ++fn)
    for (int pacing = 0; pacing <= 1; ++pacing)
      for (int graph = 0; graph <= 1; ++graph) b->Args({fn, pacing, graph});
  for (int pacing = 0; pacing <= 1; ++pacing)
    for (int graph = 0; graph <= 1; ++graph) b->Args({kNoiseAndDrift, pacing, graph});
}

void BareArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"fn", "pacing"});
  for (int fn = 1; fn <= 13; ++fn)
    for (int pacing = 0; pacing <= 1; ++pacing) b->Args({fn, pacing});
  for (int pacing = 0; pacing <= 1; ++pacing) b->Args({kNoiseAndDrift, pacing});
}

}  // namespace

BENCHMARK(BM_Packet)->Apply(PacketArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Bare)->Apply(BareArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ApplyChange)
    ->ArgNames({"fn", "pacing"})
    ->Args({1, 0})
    ->Args({7, 1})
    ->Args({10, 0})
    ->Args({10, 1})
    ->Unit(benchmark::kNanosecond);

BENCHMARK_MAIN();
