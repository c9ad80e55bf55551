// The one table of settings that `orna play`, `orna run` and `orna panel`
// share: each setting's name, the output functions that use it, its range and
// default, and the library call that applies it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools.h"

namespace orna::cli {

enum class SettingKind { Number, Integer, Flag, Leads, Scan, Path, Choice };

// Output functions as a set: bit n for function n.
constexpr unsigned FunctionBit(int function) { return 1u << function; }
constexpr unsigned kAnyFunction = ~0u;

struct SettingSpec {
  // The sequence file's and the panel's name; `orna play`'s option is the same
  // with '-' for '_' (see OptionName).
  const char* key;
  SettingKind kind;
  const char* unit;
  // An option of `orna play` and a setting of sequences; the others are the panel's own.
  bool option;
  // Applied after the function has started (and switched off before it changes).
  bool test_mode;
  // A test mode's second value names its test mode here ("noise" for
  // noise_amplitude): given alone, it applies that one.
  const char* part_of;
  // The output functions that use it; outside them a value given is a misfit.
  unsigned functions;
  // Why a misfit misfits when it is not "it is for ... only".
  const char* misfit;
  // What a sequence may give; within it the library decides (DC offset and
  // pacing mode depend on other settings or take any number).
  double lo, hi;
  // What the panel offers, and its default there (NaN: off, i.e. false).
  double page_lo, page_hi, page_default;
  const char* setter;  // the library call, for its result texts
  int range_code;      // its result code for a value outside lo..hi; 0: none
  // Words for the setter's codes, where the library has none.
  std::vector<std::pair<int, const char*>> texts;
  // Where the value lives in PlayOptions (at most one of them).
  double PlayOptions::*real;
  int PlayOptions::*integer;
  bool PlayOptions::*flag;
  // The library call with the value(s) from PlayOptions, when one call sets it.
  int (*apply)(const PlayOptions&);
};

// Every setting; test modes last, in the order they start. Settings apply in
// the table's order.
const std::vector<SettingSpec>& SettingTable();
const SettingSpec* FindSetting(const std::string& key);
// "--pulse-width" for pulse_width.
std::string OptionName(const SettingSpec& s);
// Whether `o` gives a value for the setting (not NaN, -1, false or empty).
bool Given(const SettingSpec& s, const PlayOptions& o);
// The test mode a setting belongs to (itself when it is one), else null.
const SettingSpec* TestModeOf(const SettingSpec& s);
// Whether `o` switches test mode `mode` on.
bool TestModeOn(const SettingSpec& mode, const PlayOptions& o);

// Heart rates are per minute, frequencies per second.
constexpr double kSecondsPerMinute = 60;
// The rate asked for, in Hz: bpm / 60 when a heart rate is given, else the
// frequency (NaN when neither is).
double FrequencyOf(const PlayOptions& o);

// The output functions' names, by number 0..13; "ecg" also names 10.
const char* FunctionName(int function);
// Output function 0..13 by name; -1 when none has it.
int FunctionByName(const std::string& name);
// Starts `function`; the IEC outputs start with waveform `iec`. `*setter` is
// the library call that started it, for its result texts.
int StartFunction(int function, int iec, const char** setter);

}  // namespace orna::cli
