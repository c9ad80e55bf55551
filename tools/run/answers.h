// Where the answers of `orna run` come from: a file (one a line; blank lines
// and lines beginning with '#' are passed over) or the terminal.
#pragma once

#include <cstddef>
#include <deque>
#include <istream>
#include <string>

namespace orna::cli::run {

// An answer is a number or "skip": longer lines are refused, and so are
// answers files larger than any list of readings needs.
constexpr std::size_t kMaxAnswerLine = 1000;          // bytes
constexpr std::size_t kMaxAnswersFile = 1024 * 1024;  // bytes

class Answers {
 public:
  // Reads an answers file: a regular file of at most kMaxAnswersFile bytes
  // whose lines are at most kMaxAnswerLine long. False with `why` otherwise.
  bool Load(const std::string& path, std::string* why);
  bool from_file() const { return from_file_; }
  // The next answer, from the file or a line of `terminal`; false when there
  // is none (end of the file or input, a read interrupted, or a line longer
  // than kMaxAnswerLine at the terminal).
  bool Next(std::string* answer, std::istream& terminal);
  std::size_t left() const { return lines_.size(); }
  // SHA-256 of the file read, hex; empty at the terminal.
  const std::string& checksum() const { return checksum_; }

 private:
  bool from_file_ = false;
  std::string checksum_;
  std::deque<std::string> lines_;
};

}  // namespace orna::cli::run
