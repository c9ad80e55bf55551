#include "run/answers.h"

#include "run/files.h"
#include "run/sequence.h"

namespace orna::cli::run {

bool Answers::Load(const std::string& path, std::string* why) {
  std::string text;
  if (!ReadRegularFile(path, kMaxAnswersFile, &text, why)) return false;
  std::size_t number = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    if (line.size() > kMaxAnswerLine) {
      *why = "line " + std::to_string(number) + " is longer than " + std::to_string(kMaxAnswerLine) + " bytes";
      return false;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    const std::size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == '#') continue;
    lines_.push_back(line.substr(b));
  }
  from_file_ = true;
  checksum_ = Sha256Hex(text);
  return true;
}

bool Answers::Next(std::string* answer, std::istream& terminal) {
  if (from_file_) {
    if (lines_.empty()) return false;
    *answer = lines_.front();
    lines_.pop_front();
    return true;
  }
  answer->clear();
  for (char c; terminal.get(c);) {
    if (c == '\n') return true;
    if (answer->size() == kMaxAnswerLine) return false;
    *answer += c;
  }
  return !answer->empty();  // a last line without its newline still counts
}

}  // namespace orna::cli::run
