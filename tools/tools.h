// Shared pieces of the `orna` command-line program.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
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
// The stream was not clean: underruns, sequence errors, or an instrument that
// went away. The recording is written, but it has gaps.
constexpr int kExitStream = 5;
// Ended early by a signal: 128 + its number (130 SIGINT, 143 SIGTERM), after
// writing what was recorded until then.
constexpr int kExitSignalBase = 128;

// The longest run `orna play` and `orna render` take on.
constexpr double kMaxPlaySeconds = 3600;
// The longest `orna emulate --seconds`; 0 is "until interrupted".
constexpr double kMaxEmulateSeconds = 86400;

// One recorded point of the output.
struct Point {
  double t;   // s
  double mV;
  bool high_range;  // sample sent on the high (pacing) range
  // > 0: a pacing pulse of this width (s) begins here, as the library reported it.
  double pulse_s = 0;
};

// A label carried into a recording on the row of the point where it was
// played (a rhythm's beat codes and rhythm changes).
struct Label {
  std::size_t point;  // index into the recorded points
  std::string text;
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
  // Beats per minute: the heartbeat outputs' rate, given instead of frequency.
  double bpm = NAN;
  int iec = -1;
  std::string file;
  double pacing_amplitude = NAN, pacing_width = NAN, overshoot = NAN;
  int pacing_rate = -1, pacing_mode = -1;
  std::vector<int> leads;
  int dc_offset = 0;
  bool dc_variable = false;
  int noise = -1;
  double noise_amplitude = NAN;  // mV; the library's 0.1 when not given
  bool drift = false;
  // Test modes; NAN / -1 / false: off.
  double dynamic_range_amplitude = NAN, dynamic_range_frequency = NAN;  // the library's 40 Hz when not given
  std::vector<double> freq_scan_sine;  // start Hz, stop Hz, duration s
  bool freq_scan_ecg = false;
  int baseline_reset = -1;
  bool impedance = false, common_mode = false;
  bool no_impedance = false;  // `orna play --no-impedance`: the mode (on by default) off
  double seconds = 5;
  // Virtual instrument clock, times real time; 0: as fast as the host answers
  // (every request made as soon as the previous packet has arrived).
  double speed = 0;
  bool emulate = false;
  std::string port, serial, plot;
  std::vector<std::string> records;  // "-" is CSV on standard output
  // `orna play rhythm NAME`: the rhythm, its seed (-1: the renderer's) and
  // the rhythm parameters given (the others take the rhythm's defaults).
  std::string rhythm;
  long long seed = -1;
  std::map<std::string, double> rhythm_params;
  // `orna play record PATH`: the signal ("" the first ECG lead), where to
  // start (s), a scale, the annotation file's suffix ("" atr).
  std::string record_path, record_signal, annotator;
  double record_start = 0, record_gain = 1;
};

// Why a library function refused a value: its sentence from OrnaResultText
// (`function` is the library function's name, `code` what it returned).
const char* RefusalText(const char* function, int code);
// Settings given that the chosen output function (1..13) does not use; empty
// when all fit, otherwise a message naming the first misfit.
std::string MisfitSetting(const PlayOptions& options, int function);
// The settings of a run in a few words, for recording headers.
std::string SettingsSummary(const PlayOptions& options);

int RunPlay(const PlayOptions& options);
// `orna render`: plays on an in-process virtual instrument as fast as the
// library answers and writes the recordings (as `orna play --emulate` would,
// sample for sample), printing nothing but a progress bar on a terminal.
int RunRender(const PlayOptions& options);
int RunInfo(bool emulate, const std::string& port, const std::string& serial = "");
// Prints the CDC ACM ports with USB IDs, serial numbers and by-id links.
int RunList(std::FILE* out = stdout);
// `orna rhythms`: every rhythm with its description, rate and parameters.
int RunRhythms(std::FILE* out = stdout);
// The ports OrnaListPorts reports (none when the device tree cannot be read).
std::vector<OrnaPortInfo> ListPorts();
// Serves a pseudo-terminal: a new one (its path printed), or the master `fd`
// handed over by a test bed when fd >= 0.
// `record`: on exit, writes every sample played (CSV, or EDF+ for .edf).
// `monitor_hl7` HOST:PORT: the stand-in monitor watches what is played and reports there.
int RunEmulate(double speed, double seconds, int fd, const std::string& record, const std::string& monitor_hl7 = "",
               double misreport_bpm = 0);

// Looks up an output function by name or number 1..13; -1 when unknown.
int FunctionNumber(const std::string& name);

// Writes the points as CSV (time_s,value_mV,high_range,pacing_pulse), "-" to
// standard output; with labels a fifth column, annotation, holds them on the
// rows they belong to (several on one row separated by spaces). False on an
// I/O error.
bool WriteCsv(const std::string& path, const std::vector<Point>& points,
              const std::vector<Label>& labels = {});
// Writes the points as EDF+ (one "ECG" signal in mV, sampled every `period_s`
// by sample-and-hold from the first point on, every pacing pulse as an
// annotation with its width, every label as an annotation at its point).
// `title` (the settings) goes into the header's patient field, `equipment`
// and `version` into its recording field. False on an error, and when the
// annotations would not fit.
bool WriteEdf(const std::string& path, const std::vector<Point>& points, double period_s,
              const std::string& title, const std::string& equipment = "ORNA",
              const std::string& version = "", const std::vector<Label>& labels = {});
// WFDB when the path ends in .hea, EDF+ when it ends in .edf (any case), CSV otherwise.
bool WriteRecording(const std::string& path, const std::vector<Point>& points, double period_s,
                    const std::string& title, const std::string& equipment = "ORNA",
                    const std::string& version = "", const std::vector<Label>& labels = {});
bool IsEdfPath(const std::string& path);
// Whether the path ends in .png (any case): plots are PNG only.
bool IsPngPath(const std::string& path);
// Whether `path` can take an output ("-": standard output), checked without
// creating, truncating or opening anything at it (a FIFO is refused rather
// than waited on); `why` (optional) says why not.
bool CanWrite(const std::string& path, std::string* why = nullptr);
// The values at t0, t0 + period, ... up to the last point (sample and hold),
// t0 being the first point's time.
std::vector<double> Resample(const std::vector<Point>& points, double period_s);
// Renders the points on ECG paper (25 mm/s, 10 mm/mV) into a PNG. Points
// further apart than 1.5 `period_s` are not joined: a gap stays a gap. Rows
// of 10 s, at most kMaxPlotSeconds of them; the title says when the
// recording is longer than what is drawn. Labels (a rhythm's or a record's
// annotations) are written along the top of the strip above their points.
constexpr double kMaxPlotSeconds = 60;
// Seconds of the recording that a plot draws (from its start).
double PlottedSeconds(const std::vector<Point>& points);
bool WritePlot(const std::string& path, const std::vector<Point>& points, const std::string& title,
               double period_s, const std::vector<Label>& labels = {});

}  // namespace orna::cli
