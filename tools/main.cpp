// orna: command-line front end of liborna.
#include <CLI/CLI.hpp>

#include "tools.h"
#ifdef ORNA_HAVE_PANEL
#include "panel/panel.h"
#endif

int main(int argc, char** argv) {
  using namespace orna::cli;
  CLI::App app{"orna: drive the ECG simulator (or its virtual instrument)"};
  app.require_subcommand(1);

  auto* list = app.add_subcommand("list", "List the CDC ACM ports with USB IDs and serial numbers");

  bool info_emulate = false;
  std::string info_port, info_serial;
  auto* info = app.add_subcommand("info", "Show the identity of the instrument");
  info->add_flag("--emulate", info_emulate, "Use an in-process virtual instrument");
  info->add_option("--port", info_port, "Serial device to open instead of scanning /dev/ttyACM0..3");
  info->add_option("--serial", info_serial, "Open the port whose USB serial number is SN (see orna list)");

  PlayOptions o;
  auto* play = app.add_subcommand("play", "Play an output function and report what came out");
  play->add_option("function", o.function,
                   "Output function: sine, triangle, square, pulse, triangle-pulse, exponential, "
                   "cal-ecg, iec227, iec251, ecg (ecg-notched), ecg-single, biexponential, file, "
                   "or its number 1..13")
      ->required();
  play->add_option("-a,--amplitude", o.amplitude, "Amplitude, mV peak to peak");
  play->add_option("-f,--frequency", o.frequency, "Frequency, Hz");
  play->add_option("--pulse-width", o.pulse_width, "Pulse width, ms");
  play->add_option("--qrs", o.qrs, "QRS duration, ms");
  play->add_option("--t-wave", o.t_wave, "T-wave amplitude, mV");
  play->add_option("--iec", o.iec, "IEC waveform index (iec227: 0..9, iec251: 0..5)");
  play->add_option("--file", o.file, "Waveform text file for the 'file' function");
  play->add_option("--pacing-amplitude", o.pacing_amplitude, "Pacing pulse amplitude, mV");
  play->add_option("--pacing-width", o.pacing_width, "Pacing pulse width, ms");
  play->add_option("--pacing-rate", o.pacing_rate, "Pacing rate, pulses per minute");
  play->add_option("--pacing-mode", o.pacing_mode, "Pacing mode: 0 single, other double");
  play->add_option("--overshoot", o.overshoot, "Pacing overshoot time constant, ms");
  play->add_option("--lead", o.leads, "Switch on an output lead (0..8); repeatable");
  play->add_option("--dc-offset", o.dc_offset, "DC offset, mV");
  play->add_flag("--dc-variable", o.dc_variable, "DC offset variable mode");
  play->add_option("--noise", o.noise, "Mains noise on cal-ecg: 1 = 50 Hz, 2 = 60 Hz");
  play->add_option("--noise-amplitude", o.noise_amplitude, "Mains noise amplitude, mV");
  play->add_flag("--drift", o.drift, "Baseline drift test on cal-ecg");
  play->add_option("--dynamic-range", o.dynamic_range_amplitude,
                   "Dynamic-range test on triangle or square: overlay amplitude, mV (0..5)");
  play->add_option("--dynamic-range-frequency", o.dynamic_range_frequency,
                   "Dynamic-range overlay frequency, Hz (10..50)");
  play->add_option("--freq-scan-sine", o.freq_scan_sine,
                   "Sine frequency scan: START_HZ STOP_HZ DURATION_S")
      ->expected(3);
  play->add_flag("--freq-scan-ecg", o.freq_scan_ecg, "Calibration-ECG rate scan, 0.05 to 0.5 Hz over 30 s");
  play->add_option("--baseline-reset", o.baseline_reset,
                   "Baseline reset test on sine: 1..4 = 50, 60, 80, 100 Hz");
  play->add_flag("--impedance", o.impedance, "Switch on the input impedance mode");
  play->add_flag("--common-mode", o.common_mode, "Switch on the DC offset common mode");
  play->add_option("-s,--seconds", o.seconds, "Seconds of signal to play")->check(CLI::PositiveNumber);
  play->add_option("--speed", o.speed, "Virtual instrument clock, times real time")
      ->check(CLI::Range(0.1, 1000.0));
  play->add_flag("--emulate", o.emulate, "Use an in-process virtual instrument");
  play->add_option("--port", o.port, "Serial device to open instead of scanning /dev/ttyACM0..3");
  play->add_option("--serial", o.serial, "Open the port whose USB serial number is SN (see orna list)");
  play->add_option("--record", o.record, "Write what came out: EDF+ when FILE ends in .edf, CSV otherwise");
  play->add_option("--plot", o.plot, "Render what came out on ECG paper (PNG)");

  double emu_speed = 1.0, emu_seconds = 0;
  int emu_fd = -1;
  std::string emu_record;
  auto* emulate = app.add_subcommand("emulate", "Run a virtual instrument on a pseudo-terminal and print its path");
  emulate->add_option("--speed", emu_speed, "Clock, times real time")->check(CLI::Range(0.1, 1000.0));
  emulate->add_option("--seconds", emu_seconds, "Stop after this many seconds (0: until interrupted)");
  emulate->add_option("--fd", emu_fd,
                      "Serve this inherited pseudo-terminal master (e.g. a faked /dev/ttyACM0) instead of a new one")
      ->check(CLI::NonNegativeNumber);
  emulate->add_option("--record", emu_record,
                      "On exit, write every sample played: EDF+ when FILE ends in .edf, CSV otherwise");

#ifdef ORNA_HAVE_PANEL
  orna::panel::PanelOptions po;
  auto* panel = app.add_subcommand("panel", "Serve a control panel page (its address is printed first)");
  auto* panel_emulate = panel->add_flag("--emulate", po.emulate, "Connect to an in-process virtual instrument");
  auto* panel_port = panel->add_option("--port", po.port, "Connect to the instrument on this serial device");
  panel->add_option("--serial", po.serial, "Connect to the instrument with this serial number")
      ->excludes(panel_emulate)
      ->excludes(panel_port);
  panel_emulate->excludes(panel_port);
  panel->add_option("--listen", po.listen, "ADDRESS:PORT to serve on (default 127.0.0.1:8370)");
  panel->add_flag("--open", po.open, "Open the page in the desktop's browser");
#endif

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }
  if (*list) return RunList();
  if (*info) return RunInfo(info_emulate, info_port, info_serial);
  if (*play) return RunPlay(o);
#ifdef ORNA_HAVE_PANEL
  if (*panel) return orna::panel::RunPanel(po);
#endif
  if (*emulate) return RunEmulate(emu_speed, emu_seconds, emu_fd, emu_record);
  return kExitUsage;
}
