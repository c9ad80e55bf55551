// `orna play record PATH`: a WFDB record or an EDF/EDF+/BDF file played by
// output function 13 from memory, its annotations carried into recordings.
#pragma once

#include "rhythm_play.h"
#include "tools.h"

namespace orna::cli {

// The function name that asks `orna play` for a record.
constexpr const char* kRecordFunction = "record";
inline bool IsRecord(const PlayOptions& o) { return o.function == kRecordFunction; }

// Reads the record and makes the loop output 13 plays (5000 samples/s, the
// annotations at their times from --start). Clamped samples are counted and
// warned about; `quiet` leaves out what is only information (a rendering).
// kExitOk, or the exit code after saying why on stderr.
int PrepareRecord(const PlayOptions& o, RhythmLoop* loop, bool quiet = false);

// The record options given for a function other than 'record': a message
// naming the first, or "".
std::string MisplacedRecordOption(const PlayOptions& o);

}  // namespace orna::cli
