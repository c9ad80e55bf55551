// A sequence step that plays a rhythm: its settings are read and its render
// tried when the sequence is loaded, so that a bad one is refused before
// anything is played.
#pragma once

#include <string>
#include <vector>

#include <toml++/toml.h>

#include "signals/rhythm.h"
#include "tools.h"

namespace orna::cli::run {

// Stores setting `key` of a step playing `rhythm` (amplitude, bpm, seed or one
// of the rhythm's parameters); false with a message naming what it takes.
bool SetRhythmOption(const signals::RhythmInfo& rhythm, const std::string& key, const toml::node& value,
                     PlayOptions* options, std::string* message);
// Copies the rhythm settings named in `keys` from `from` into `to`.
void MergeRhythmOptions(const PlayOptions& from, const std::vector<std::string>& keys, PlayOptions* to);
// Renders the rhythm `state` asks for; empty when it renders and fits the
// output, otherwise why not.
std::string CheckRhythm(const PlayOptions& state);

}  // namespace orna::cli::run
