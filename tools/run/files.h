// Files of `orna run`. Inputs are read only when they are regular files of a
// bounded size. Reports are checked before anything is played, and replaced
// whole, so that a failed write (a full disk) keeps the last good report
// rather than leaving a part of a new one.
#pragma once

#include <cstddef>
#include <string>

namespace orna::cli::run {

// Reads the regular file at `path` whole when it has at most `limit` bytes;
// false with `why` otherwise. A FIFO or a device is refused before a byte is
// read from it, so nothing blocks or grows without end.
bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* out, std::string* why);

// Whether `path` can take an output: an existing regular file, or a new name
// in a folder where files can be made. Nothing is left at `path` and nothing
// blocks (a FIFO without a reader is refused, not opened). A symbolic link to
// a regular file is followed and `*target` is the file it names; a link to
// nothing is refused. On failure `*why` says why.
bool CheckOutput(const std::string& path, std::string* target, std::string* why);

// Writes `data` to a new file beside `path`, flushes it to the disk and
// renames it over `path`: `path` then holds the old content or the new, never
// a part. False, with the new file removed and errno set, when that fails.
bool ReplaceFile(const std::string& path, const std::string& data);

}  // namespace orna::cli::run
