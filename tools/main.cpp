// orna: command-line front end of liborna.
#include <CLI/CLI.hpp>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "orna.h"
#include "record_play.h"
#include "rhythm_play.h"
#include "run/run.h"
#include "setting_table.h"
#include "tools.h"
#ifdef ORNA_HAVE_PANEL
#include "panel/panel.h"
#endif

namespace {

// "TEXT (default: VALUE UNIT)", the default being the library's own.
std::string WithDefault(const std::string& text, double value, const char* unit = "") {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", value);
  return text + " (default " + buf + unit + ")";
}

std::string Readable(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

// A finite number from lo to hi (more than lo when `above_lo`), its bounds
// said as people write them. Text that is no number is left to the parser.
CLI::Validator Within(double lo, double hi, bool above_lo = false) {
  std::string range = (above_lo ? "more than " + Readable(lo) + " and at most " : Readable(lo) + " to ") +
                      Readable(hi);
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != 0) return "";
        if (!std::isfinite(v)) return "must be a finite number, not " + text;
        if (v < lo || v > hi || (above_lo && v == lo)) return "must be " + range + ", not " + text;
        return "";
      },
      "");
}

// Any finite number (the library judges the range).
CLI::Validator Finite() { return Within(-HUGE_VAL, HUGE_VAL); }

// An empty path or serial number would mean "scan" to the code below.
const CLI::Validator kNotEmpty(
    [](std::string& text) -> std::string { return text.empty() ? "must not be empty" : ""; }, "");

// `record PATH`: the path is the record's, not a rhythm's name; without
// --seconds the record plays to its end. False (said why) when record
// options are given to something else.
bool TakeRecordPath(CLI::App* cmd, orna::cli::PlayOptions& o) {
  if (const std::string misplaced = orna::cli::MisplacedRecordOption(o); !misplaced.empty()) {
    std::fprintf(stderr, "orna: %s\n", misplaced.c_str());
    return false;
  }
  if (orna::cli::IsRecord(o)) {
    o.record_path = std::move(o.rhythm);
    o.rhythm.clear();
    if (cmd->get_option("--seconds")->count() == 0) o.seconds = 0;  // to the record's end
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orna::cli;
  CLI::App app{
      "orna: drives the ORNA ECG simulator, a USB box that feeds ECG and test signals into ECG\n"
      "monitors, or its virtual instrument (--emulate) when none is connected."};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("orna ") + GetSDKVersion() + " (liborna " + GetSDKVersion() + ")");
  app.footer(
      "Exit codes: 0 success, 2 bad arguments or a refused setting, 3 no instrument answered,\n"
      "4 a file could not be written, 5 the stream was not clean (underruns, sequence errors,\n"
      "the instrument went away; the recording was written but has gaps).\n"
      "Run 'orna SUBCOMMAND --help' for each subcommand's options.");

  auto* list = app.add_subcommand("list", "List the CDC ACM ports with USB IDs and serial numbers");
  auto* rhythms = app.add_subcommand(
      "rhythms", "List the rhythms of 'orna play rhythm NAME' with their rates and parameters");

  bool info_emulate = false;
  std::string info_port, info_serial;
  auto* info = app.add_subcommand("info", "Show the identity of the instrument (serial number, versions)");
  info->add_flag("--emulate", info_emulate, "Use an in-process virtual instrument instead of hardware");
  auto* info_port_option =
      info->add_option("--port", info_port,
                       "Serial device to open instead of scanning /dev/ttyACM0..3 (e.g. a /dev/serial/by-id link)")
          ->check(kNotEmpty)
          ->excludes("--emulate");
  info->add_option("--serial", info_serial, "Open the port whose USB serial number is SN (see orna list)")
      ->check(kNotEmpty)
      ->excludes("--emulate")
      ->excludes(info_port_option);

  // The library's defaults, read before any instrument is open.
  const double amplitude = GetAmplitude(), frequency = GetFrequency(), pulse_width = GetPulseWidth(),
               qrs = GetQRSDuration(), t_wave = GetTWave(), pacing_width = GetPacingDuration();
  const int pacing_rate = GetPacingRate();

  PlayOptions o;
  auto* play = app.add_subcommand(
      "play", "Play an output function for a while, then report what the instrument received");
  play->footer(
      "Settings not given keep the library's defaults; settings that the chosen function does not\n"
      "use are refused. Example: orna play ecg --pacing-amplitude 5 --seconds 10 --emulate --plot ecg.png\n"
      "Exit codes: 0 success; 2 bad arguments or a refused setting; 3 no instrument answered;\n"
      "4 a file could not be written; 5 the stream was not clean (underruns, sequence errors, the\n"
      "instrument went away; the recording was written but has gaps); 130 interrupted (Ctrl-C) and\n"
      "143 terminated (SIGTERM), after writing what was recorded until then.");
  // The signal's settings, shared by play and render; one option per rhythm
  // parameter, recorded in `rhythm_options` (their values in `rhythm_values`).
  using RhythmOptions = std::vector<std::pair<std::string, CLI::Option*>>;
  auto add_settings = [&](CLI::App* cmd, PlayOptions& opts, RhythmOptions* rhythm_options,
                          std::map<std::string, double>* rhythm_values) {
    cmd->add_option("function", opts.function,
                     "Output function, by name or number: sine (1), triangle (2), square (3), pulse (4),\n"
                     "triangle-pulse (5), exponential (6), cal-ecg (7, calibration ECG), iec227 (8),\n"
                     "iec251 (9), ecg (10, synthetic ECG; also ecg-notched), ecg-single (11),\n"
                     "biexponential (12), file (13, a text waveform given with --file),\n"
                     "rhythm (a rhythm rendered here and played as 13: orna play rhythm NAME, see orna rhythms),\n"
                     "record (a WFDB record or EDF/EDF+/BDF file played as 13: orna play record PATH)")
        ->required();
    cmd->add_option("rhythm", opts.rhythm,
                    "With 'rhythm': the rhythm's name (see orna rhythms); with 'record': the record's path (its "
                    ".hea, its name, or an .edf/.bdf file)")
        ->type_name("NAME|PATH");
    cmd->add_option("--signal", opts.record_signal, "Record only: the signal, by name or number from 0 (default: the "
                    "first lead II / MLII, else the first ECG lead)")->type_name("N|NAME");
    cmd->add_option("--start", opts.record_start, "Record only: seconds into the record to start at (default 0)")
        ->check(Within(0, 1e9));
    cmd->add_option("--gain", opts.record_gain, "Record only: scale the record's microvolts by X (default 1)")
        ->type_name("X")->check(Within(0, 1000, true));
    cmd->add_option("--annotator", opts.annotator, "WFDB record only: annotation file suffix (default atr; "
                    "none played when RECORD.atr is missing)")->type_name("NAME")->check(kNotEmpty);
    cmd->add_option("-a,--amplitude", opts.amplitude,
                     WithDefault("Amplitude, mV peak to peak, -10..10", amplitude, " mV") +
                         "; for a rhythm the R-wave height of a normal beat above the baseline, 0.05..5 mV "
                         "(default 1 mV)")
        ->check(Finite());
    cmd->add_option("-f,--frequency", opts.frequency,
                     WithDefault("Frequency (heart rate for the ECGs), 0.05..500 Hz; pulse and triangle-pulse "
                                 "up to 3 Hz; not for iec227, iec251, biexponential, file",
                                 frequency, " Hz"))
        ->check(Finite());
    const SettingSpec& bpm = *FindSetting("bpm");
    cmd->add_option("--bpm", opts.bpm,
                     WithDefault("Heart rate of cal-ecg, ecg and ecg-single instead of --frequency (Hz = bpm / 60), " +
                                     Readable(bpm.lo) + ".." + Readable(bpm.hi) + " per minute",
                                 bpm.page_default, " per minute"))
        ->check(Finite());
    cmd->add_option("--seed", opts.seed, "Rhythm only: seed of its random variation, 0 or more (default 1)")
        ->type_name("N")
        ->check(Within(0, 1e18));
    // One option per rhythm parameter; each rhythm takes its own and refuses the others.
    for (const std::string& name : RhythmParameterNames())
      rhythm_options->emplace_back(
          name, cmd->add_option("--" + name, (*rhythm_values)[name], RhythmParameterHelp(name))->check(Finite()));
    cmd->add_option("--pulse-width", opts.pulse_width, WithDefault("Pulse width of pulse and triangle-pulse, 2..300 ms", pulse_width, " ms"))
        ->check(Finite());
    cmd->add_option("--qrs", opts.qrs, WithDefault("QRS duration of cal-ecg, 5..200 ms", qrs, " ms"))
        ->check(Finite());
    cmd->add_option("--t-wave", opts.t_wave, WithDefault("T-wave amplitude of cal-ecg, 0..2.5 mV", t_wave, " mV"))
        ->check(Finite());
    cmd->add_option("--iec", opts.iec, "Test waveform of iec227 (0..9) or iec251 (0..5) (default 0)")
        ->check(CLI::Range(0, 9));
    cmd->add_option("--file", opts.file,
                     "Waveform for the 'file' function: text, line 1 the sample rate, line 2 the count, "
                     "then one value in microvolts per line");
    cmd->add_option("--pacing-amplitude", opts.pacing_amplitude,
                     "Pacing pulse amplitude, -700..700 mV; 0 is no pacing (default 0)")
        ->check(Finite());
    cmd->add_option("--pacing-width", opts.pacing_width, WithDefault("Pacing pulse width, 0.1..3 ms", pacing_width, " ms"))
        ->check(Finite());
    cmd->add_option("--pacing-rate", opts.pacing_rate,
                     WithDefault("Pacing rate, 10..300 pulses per minute", pacing_rate, " per minute"));
    cmd->add_option("--pacing-mode", opts.pacing_mode,
                     "Pulses per pacing event: 0 one; 1 two, 150 ms apart; 2 two, 250 ms apart (default 0)")
        ->check(CLI::Range(0, 2));
    cmd->add_option("--overshoot", opts.overshoot, "Overshoot after each pacing pulse: time constant, 0..100 ms (default 0: none)")
        ->check(Finite());
    cmd->add_option("--lead", opts.leads,
                     "Switch on an output lead, 0..8, besides those already on; repeatable (default: lead 0 on)")
        ->check(CLI::Range(0, 8))
        ->allow_extra_args(false);  // one value per occurrence: a positional after it stays one
    cmd->add_option("--dc-offset", opts.dc_offset, "DC offset in whole mV, -300..300 (-1000..1000 with --dc-variable) (default 0)");
    cmd->add_flag("--dc-variable", opts.dc_variable, "DC offset variable mode (range +-1000 mV)");
    cmd->add_option("--noise", opts.noise, "Mains noise on cal-ecg: 1 = 50 Hz, 2 = 60 Hz (default: none)")
        ->check(CLI::IsMember({1, 2}));
    cmd->add_option("--noise-amplitude", opts.noise_amplitude, "Mains noise amplitude, 0.01..0.2 mV (default 0.1 mV)")
        ->check(Finite());
    cmd->add_flag("--drift", opts.drift, "Baseline drift test on cal-ecg");
    cmd->add_option("--dynamic-range", opts.dynamic_range_amplitude,
                     "Dynamic-range test on triangle or square: overlay amplitude, 0..5 mV")
        ->check(Finite());
    cmd->add_option("--dynamic-range-frequency", opts.dynamic_range_frequency,
                     WithDefault("Dynamic-range overlay frequency, 10..50 Hz",
                                 FindSetting("dynamic_range_frequency")->page_default, " Hz"))
        ->check(Finite());
    cmd->add_option("--freq-scan-sine", opts.freq_scan_sine,
                     "Sine frequency scan: START_HZ STOP_HZ DURATION_S (0.67..500 Hz, 10..180 s)")
        ->expected(3)
        ->check(Finite());
    cmd->add_flag("--freq-scan-ecg", opts.freq_scan_ecg, "Calibration-ECG rate scan, 0.05 to 0.5 Hz over 30 s");
    cmd->add_option("--baseline-reset", opts.baseline_reset,
                     "Baseline reset test on sine: 1..4 = 50, 60, 80, 100 Hz")
        ->check(CLI::Range(1, 4));
    auto* impedance_on = cmd->add_flag("--impedance", opts.impedance, "Input impedance test mode on (the default)");
    cmd->add_flag("--no-impedance", opts.no_impedance, "Switch the input impedance test mode off")
        ->excludes(impedance_on);
    cmd->add_flag("--common-mode", opts.common_mode, "Apply the DC offset in common mode");
    cmd->add_option("-s,--seconds", opts.seconds,
                     "Seconds of signal to play and record, at most " + Readable(kMaxPlaySeconds) + " (default 5; a record: to its end)")
        ->check(Within(0, kMaxPlaySeconds, true));
  };
  auto add_outputs = [&](CLI::App* cmd, PlayOptions& opts) {
    cmd->add_option("--record", opts.records,
                     "Write what the instrument received: WFDB when FILE ends in .hea (with FILE.dat and "
                     "FILE.atr beside it), EDF+ when it ends in .edf, CSV otherwise, '-' for CSV on standard "
                     "output; repeatable")
        ->type_name("FILE")
        ->allow_extra_args(false);  // one value per occurrence: a positional after it stays one
    cmd->add_option("--plot", opts.plot,
                     "Draw what the instrument received on ECG paper (PNG; the first " + Readable(kMaxPlotSeconds) +
                         " s of a longer run)")
        ->type_name("FILE.png");
  };
  RhythmOptions rhythm_options;
  std::map<std::string, double> rhythm_values;
  add_settings(play, o, &rhythm_options, &rhythm_values);
  play->add_option("--speed", o.speed,
                   "Virtual instrument only: run its clock at this many times real time, 0.1..1000, as "
                   "real hardware would (default: as fast as the host answers, which never underruns)")
      ->check(Within(0.1, 1000));
  auto* play_emulate = play->add_flag("--emulate", o.emulate, "Use an in-process virtual instrument instead of hardware");
  auto* play_port = play->add_option("--port", o.port,
                                     "Serial device to open instead of scanning /dev/ttyACM0..3 (e.g. a /dev/serial/by-id link)")
                        ->check(kNotEmpty)
                        ->excludes(play_emulate);
  play->add_option("--serial", o.serial, "Open the port whose USB serial number is SN (see orna list)")
      ->check(kNotEmpty)
      ->excludes(play_emulate)
      ->excludes(play_port);
  add_outputs(play, o);

  PlayOptions ro_render;
  RhythmOptions render_rhythm_options;
  std::map<std::string, double> render_rhythm_values;
  auto* render = app.add_subcommand(
      "render", "Play on a virtual instrument as fast as the library answers, into recordings (no instrument)");
  render->footer(
      "The samples are those 'orna play --emulate' records for the same settings. Example:\n"
      "orna render ecg --pacing-amplitude 2 --seconds 3600 --record hour.edf --record hour.hea\n"
      "Exit codes: 0 success; 2 bad arguments or a refused setting; 4 a file could not be written;\n"
      "5 the stream was not clean; 130 interrupted (Ctrl-C) and 143 terminated (SIGTERM), after\n"
      "writing what was rendered until then.");
  add_settings(render, ro_render, &render_rhythm_options, &render_rhythm_values);
  add_outputs(render, ro_render);

  double emu_speed = 1.0, emu_seconds = 0;
  int emu_fd = -1;
  std::string emu_record;
  auto* emulate = app.add_subcommand(
      "emulate", "Run a virtual instrument on a pseudo-terminal and print its path, for --port");
  emulate->add_option("--speed", emu_speed, "Clock, times real time, 0.1..1000 (default 1)")
      ->check(Within(0.1, 1000));
  emulate->add_option("--seconds", emu_seconds,
                      "Stop after this many seconds, at most " + Readable(kMaxEmulateSeconds) +
                          " (default 0: until interrupted)")
      ->check(Within(0, kMaxEmulateSeconds));
  emulate->add_option("--fd", emu_fd,
                      "Serve this inherited pseudo-terminal master (e.g. a faked /dev/ttyACM0) instead of a new one")
      ->check(Within(0, INT_MAX));
  emulate->add_option("--record", emu_record,
                      "On exit, write every sample played: EDF+ when FILE ends in .edf, CSV otherwise");
  std::string emu_monitor;
  double emu_misreport = 0;
  auto* emu_monitor_option = emulate->add_option(
      "--monitor-hl7", emu_monitor,
      "Also act as a monitor under test, sending HL7 (MLLP) to HOST:PORT: heart rate every second, tachycardia "
      "(> 120/min), bradycardia (< 50/min) and asystole (4 s) alarms. A stand-in for tests, not a model of any "
      "monitor")->type_name("HOST:PORT");
  emulate->add_option("--misreport", emu_misreport, "The stand-in monitor adds this to the rates it reports (bpm)")
      ->needs(emu_monitor_option)
      ->check(Within(-300, 300));

  run::RunOptions ro;
  auto* runc = app.add_subcommand("run", "Play a test sequence (TOML), ask for the readings, judge them and report");
  runc->footer(
      "Limits: a sequence file 1 MiB and 10000 steps (every repeat expanded); an answers file 1 MiB\n"
      "and 1000 bytes a line.\n"
      "Exit codes: 0 every judged step passed; 1 the run completed and a step failed (a reading out of\n"
      "bounds, or a step that did not play its whole duration, less one packet of 0.32 s); 2 bad\n"
      "arguments or a file refused (errors in the sequence, an answers or resumed file that cannot be\n"
      "read or taken); 3 no instrument answered (or not the --serial asked for); 4 a report could not\n"
      "be written (outputs are checked before anything is played); 6 the run stopped before its end\n"
      "(Ctrl-C, the answers ran out, a setting was refused, the stream stopped): --resume continues it.");
  runc->add_option("file", ro.file, "Sequence file")->required()->type_name("FILE.toml");
  runc->add_flag("--emulate", ro.emulate, "Use an in-process virtual instrument (and measure what it played)");
  runc->add_option("--port", ro.port, "Serial device to use instead of scanning /dev/ttyACM0..3")->check(kNotEmpty);
  runc->add_option("--serial", ro.serial, "Go on only if the instrument has this serial number");
  runc->add_option("--answers", ro.answers, "Take the answers from this file, one a line, instead of the terminal");
  runc->add_option("--report", ro.report, "Write the report as HTML")->type_name("OUT.html");
  runc->add_option("--json", ro.json,
                   "Write the report as JSON (after every step); the steps' strips are kept beside it, in "
                   "OUT.strips/, for --resume")
      ->type_name("OUT.json");
  runc->add_option("--pdf", ro.pdf, "Write the report as a PDF (A4, with a block to sign)")->type_name("OUT.pdf");
  runc->add_option("--record", ro.record, "Write everything played: EDF+ when FILE ends in .edf, CSV otherwise");
  runc->add_option("--resume", ro.resume, "Continue the run whose JSON report this is")->type_name("OUT.json");
  runc->add_option("--operator", ro.operator_name, "Operator's name, for the report");
  runc->add_option("--device", ro.device,
                   "The monitor under test, over the sequence's [device]: manufacturer, model, serial, software "
                   "or notes; repeatable")
      ->type_name("KEY=VALUE")
      ->allow_extra_args(false);
  runc->add_option("--speed", ro.speed,
                   "Virtual instrument clock, times real time, 0.1..1000 (default: as fast as the host answers)")
      ->check(Within(0.1, 1000));
  runc->add_option("--monitor-hl7", ro.monitor_hl7,
                   "Take the monitor's HL7 reports (MLLP) on [ADDRESS:]PORT, default address 127.0.0.1, for the "
                   "steps judged by the monitor (needs real time: --speed 1 with --emulate)")
      ->type_name("[ADDR:]PORT");
  auto* run_vm = runc->add_flag(
      "--virtual-monitor", ro.virtual_monitor,
      "With --emulate: a stand-in monitor watches what is played and reports over HL7, times in signal seconds, "
      "so monitor-judged sequences run at any speed. A stand-in for tests, not a model of any monitor");
  runc->add_option("--misreport", ro.misreport_bpm, "The stand-in monitor adds this to the rates it reports (bpm)")
      ->needs(run_vm)
      ->check(Within(-300, 300));

#ifdef ORNA_HAVE_PANEL
  orna::panel::PanelOptions po;
  auto* panel = app.add_subcommand("panel", "Serve a control panel page (its address is printed first)");
  auto* panel_emulate = panel->add_flag("--emulate", po.emulate, "Connect to an in-process virtual instrument");
  auto* panel_port =
      panel->add_option("--port", po.port, "Connect to the instrument on this serial device")->check(kNotEmpty);
  panel->add_option("--serial", po.serial, "Connect to the instrument with this serial number")
      ->excludes(panel_emulate)
      ->excludes(panel_port);
  panel_emulate->excludes(panel_port);
  panel->add_option("--listen", po.listen, "ADDRESS:PORT to serve on (default 127.0.0.1:8370)");
  panel->add_flag("--open", po.open, "Open the page in the desktop's browser");
  panel->add_option("--monitor-hl7", po.monitor_hl7,
                    "Take a monitor's HL7 reports (MLLP) on [ADDRESS:]PORT, default address 127.0.0.1, and show "
                    "its latest values and alarms")
      ->type_name("[ADDR:]PORT");
#endif

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }
  if (*list) return RunList();
  if (*rhythms) return RunRhythms();
  if (*info) return RunInfo(info_emulate, info_port, info_serial);
  if (*play) {
    for (const auto& [name, option] : rhythm_options)
      if (option->count() > 0) o.rhythm_params[name] = rhythm_values[name];
    if (o.speed > 0 && !o.emulate) {
      std::fprintf(stderr, "orna: --speed sets the virtual instrument's clock: it needs --emulate\n");
      return kExitUsage;
    }
    if (!TakeRecordPath(play, o)) return kExitUsage;
    return RunPlay(o);
  }
  if (*render) {
    for (const auto& [name, option] : render_rhythm_options)
      if (option->count() > 0) ro_render.rhythm_params[name] = render_rhythm_values[name];
    if (!TakeRecordPath(render, ro_render)) return kExitUsage;
    return RunRender(ro_render);
  }
  if (*runc) {
    if (ro.speed > 0 && !ro.emulate) {
      std::fprintf(stderr, "orna: --speed sets the virtual instrument's clock: it needs --emulate\n");
      return kExitUsage;
    }
    if (ro.virtual_monitor && !ro.emulate) {
      std::fprintf(stderr, "orna: --virtual-monitor watches the virtual instrument: it needs --emulate\n");
      return kExitUsage;
    }
    return run::RunSequence(ro);
  }
#ifdef ORNA_HAVE_PANEL
  if (*panel) return orna::panel::RunPanel(po);
#endif
  if (*emulate) return RunEmulate(emu_speed, emu_seconds, emu_fd, emu_record, emu_monitor, emu_misreport);
  return kExitUsage;
}
