// Plays the synthetic ECG with small (0.5 mV) pacing pulses, watches the output through the graph
// callback, changes settings while streaming, and closes.
//
//   c++ -std=c++17 streaming.cpp $(pkg-config --cflags --libs orna) -o streaming
#include <orna.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// The callback runs on the library's thread: keep it short, no waiting.
std::atomic<long> g_points{0};
std::atomic<double> g_peak{0.0};

void OnGraph(double /*time_s*/, double value_mV) {
  g_points.fetch_add(1);
  double seen = g_peak.load();
  while (value_mV > seen && !g_peak.compare_exchange_weak(seen, value_mV)) {
  }
}

// Closes the instrument however main() returns.
struct Instrument {
  bool open = InitORNA() == 1;
  ~Instrument() {
    if (open) {
      RegisterTimeAmpCB(nullptr);
      CloseORNA();
    }
  }
};

}  // namespace

int main() {
  Instrument instrument;
  if (!instrument.open) {
    std::fprintf(stderr, "no instrument on /dev/ttyACM0..3\n");
    return 1;
  }
  RegisterTimeAmpCB(OnGraph);

  if (SetAmplitude(1.0) != 0 || SetFrequency(1.2) != 0 || SetPacingAmplitude(0.5) != 0 ||
      SetPacingRate(72) != 0 || SetOutputFunc(OutputFuncECGNotchedR) != 0) {
    std::fprintf(stderr, "a setting was refused\n");
    return 2;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  double peak_before = g_peak.exchange(0.0);

  // Twice the amplitude, a wider QRS: applied at the end of the running beat.
  if (SetAmplitude(2.0) != 0 || SetQRSDuration(120) != 0) return 2;
  if (SetAmplitude(20.0) != -2) return 3;  // out of range: refused, nothing changes
  std::this_thread::sleep_for(std::chrono::seconds(2));

  std::printf("graph points %ld, peak %.2f mV then %.2f mV, amplitude %.1f mV\n", g_points.load(),
              peak_before, g_peak.load(), GetAmplitude());
  SetOutputFunc(OutputFuncNone);
  return g_points.load() > 0 ? 0 : 4;
}
