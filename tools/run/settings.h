// The settings a sequence step may give: the names of `orna play`'s options
// with '_' for '-', checked against the ranges the library takes, and applied
// to an open instrument.
#pragma once

#include <string>
#include <vector>

#include <toml++/toml.h>

#include "signals/rhythm.h"
#include "tools.h"

namespace orna::cli::run {

// Stores setting `key` = `value` into `options`; false with a message naming
// the setting and what it takes (unknown name, wrong type, out of range).
bool SetOption(const std::string& key, const toml::node& value, PlayOptions* options, std::string* message);

// An integer or floating-point TOML value as a double; false for anything else.
bool AsNumber(const toml::node& n, double* v);
// Copies the settings named in `keys` from `from` into `to`.
void MergeOptions(const PlayOptions& from, const std::vector<std::string>& keys, PlayOptions* to);
// Whether the settings in force fit output function `function` (1..13), and
// whether the ones changed by a step (`keys`) may change while the others
// hold; empty when they do, otherwise why not.
std::string CheckFit(const PlayOptions& state, int function, const std::vector<std::string>& keys);

// The library's settings when no step has touched them (read once the
// instrument is open).
PlayOptions ReadDefaults();
// Starts `state.function` afresh: test modes off, every setting to `state`'s
// value or the default, the function, then the test modes `state` asks for.
// Output 13 plays `rhythm` when given, otherwise the file `state` names.
bool ApplyAll(const PlayOptions& state, int function, const PlayOptions& defaults, std::string* error,
              const signals::Rendered* rhythm = nullptr);
// Changes the settings named in `keys` on the function playing.
bool ApplyChanges(const PlayOptions& options, const std::vector<std::string>& keys, std::string* error);

}  // namespace orna::cli::run
