// Scratch files and paths for tests that read from disk.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace orna::test {

// Root of the source tree, from this header's own location.
inline std::string SourceRoot() {
  const std::string here = __FILE__, tail = "tests/support/files.h";
  return here.size() > tail.size() ? here.substr(0, here.size() - tail.size()) : "";
}

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A scratch directory, removed with its contents at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/orna-test-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~ScratchDir() {
    if (!path_.empty() && std::system(("rm -rf '" + path_ + "'").c_str()) != 0) ADD_FAILURE() << "rm " << path_;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // Writes name (relative to the directory) with exactly these bytes.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string p = *this / name;
    std::ofstream(p, std::ios::binary) << bytes;
    EXPECT_TRUE(std::ifstream(p).good()) << "cannot write " << p;
    return p;
  }

 private:
  std::string path_;
};

// One row of a recording written as CSV by the orna program.
struct CsvRow {
  double t = 0, mV = 0;
  std::string pulse;       // the pacing_pulse column as written
  std::string annotation;  // "" on most rows
};
// The rows of such a recording; `header` (optional) gets its first line.
inline std::vector<CsvRow> ReadRecordingCsv(const std::string& path, std::string* header = nullptr) {
  std::vector<CsvRow> rows;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  if (header) *header = line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string t, v, high;
    CsvRow row;
    std::getline(fields, t, ',');
    std::getline(fields, v, ',');
    std::getline(fields, high, ',');
    std::getline(fields, row.pulse, ',');
    std::getline(fields, row.annotation);
    row.t = std::stod(t);
    row.mV = std::stod(v);
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace orna::test
