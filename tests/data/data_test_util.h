// Helpers for the waveform data tests: scratch files and 16-bit paths.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>

namespace datatest {

// Root of the source tree, from this header's own location.
inline std::string SourceRoot() {
  const std::string here = __FILE__, tail = "tests/data/data_test_util.h";
  return here.size() > tail.size() ? here.substr(0, here.size() - tail.size()) : "";
}

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A scratch directory, removed with its contents at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/orna-data-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~ScratchDir() {
    if (!path_.empty() && std::system(("rm -rf '" + path_ + "'").c_str()) != 0) ADD_FAILURE() << "rm " << path_;
  }
  const std::string& path() const { return path_; }

  // Writes name (relative to the directory) with exactly these bytes.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << bytes;
    EXPECT_TRUE(std::ifstream(p).good()) << "cannot write " << p;
    return p;
  }

 private:
  std::string path_;
};

}  // namespace datatest
