// Shared pieces of the `orna` command-line program.
#pragma once

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <cstdio>

#include "emulator/virtual_instrument.h"
#include "orna.h"

namespace orna::cli {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;         // bad arguments or a refused setting
constexpr int kExitNoInstrument = 3;  // no instrument answered
constexpr int kExitIo = 4;            // a file could not be written
// The stream was not clean: the instrument went away or reported sequence errors.
constexpr int kExitStream = 5;

// One recorded point of the output.
struct Point {
  double t;   // s
  double mV;
  bool high_range;  // sample sent on the high (pacing) range
};

// An open connection, to real hardware or to an in-process virtual instrument.
class Session {
 public:
  // Opens the instrument: with `emulate` an in-process virtual instrument,
  // else exactly `port`, else the port whose USB serial number is `serial`,
  // else the first that answers the scan of /dev/ttyACM0..3. Says why on
  // stderr when it fails.
  static std::unique_ptr<Session> Open(bool emulate, const std::string& port,
                                       const std::string& serial = "");
  ~Session();
  emu::VirtualInstrument* instrument() { return vi_.get(); }

 private:
  std::unique_ptr<emu::VirtualInstrument> vi_;
};

// Settings of `orna play`; NAN or -1 means "leave at the default".
struct PlayOptions {
  std::string function;
  double amplitude = NAN, frequency = NAN, pulse_width = NAN, qrs = NAN, t_wave = NAN;
  int iec = 0;
  std::string file;
  double pacing_amplitude = NAN, pacing_width = NAN, overshoot = NAN;
  int pacing_rate = -1, pacing_mode = -1;
  std::vector<int> leads;
  int dc_offset = 0;
  bool dc_variable = false;
  int noise = -1;
  double noise_amplitude = 0.1;
  bool drift = false;
  // Test modes; NAN / -1 / false: off.
  double dynamic_range_amplitude = NAN, dynamic_range_frequency = 30;
  std::vector<double> freq_scan_sine;  // start Hz, stop Hz, duration s
  bool freq_scan_ecg = false;
  int baseline_reset = -1;
  bool impedance = false, common_mode = false;
  double seconds = 5, speed = 1;
  bool emulate = false;
  std::string port, serial, record, plot;
};

int RunPlay(const PlayOptions& options);
int RunInfo(bool emulate, const std::string& port, const std::string& serial = "");
// Prints the CDC ACM ports with USB IDs, serial numbers and by-id links.
int RunList(std::FILE* out = stdout);
// The ports OrnaListPorts reports (none when the device tree cannot be read).
std::vector<OrnaPortInfo> ListPorts();
// Serves a pseudo-terminal: a new one (its path printed), or the master `fd`
// handed over by a test bed when fd >= 0.
// `record`: on exit, writes every sample played (CSV, or EDF+ for .edf).
int RunEmulate(double speed, double seconds, int fd, const std::string& record);

// Looks up an output function by name or number 1..13; -1 when unknown.
int FunctionNumber(const std::string& name);

// Writes the points as CSV (time_s,mV); returns false on an I/O error.
bool WriteCsv(const std::string& path, const std::vector<Point>& points);
// Writes the points as EDF+ (one "ECG" signal in mV, sampled every `period_s`
// by sample-and-hold from the first point on, pacing pulses as annotations);
// false on an error.
bool WriteEdf(const std::string& path, const std::vector<Point>& points, double period_s,
              const std::string& title);
// EDF+ when the path ends in .edf (any case), CSV otherwise.
bool WriteRecording(const std::string& path, const std::vector<Point>& points, double period_s,
                    const std::string& title);
// The values at t0, t0 + period, ... up to the last point (sample and hold),
// t0 being the first point's time.
std::vector<double> Resample(const std::vector<Point>& points, double period_s);
// Renders the points on ECG paper (25 mm/s, 10 mm/mV) into a PNG.
bool WritePlot(const std::string& path, const std::vector<Point>& points, const std::string& title);

}  // namespace orna::cli
