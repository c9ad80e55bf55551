// A virtual instrument with the library's port scan pointed at it.
#pragma once

#include <string>

#include "emulator/virtual_instrument.h"
#include "link/discovery.h"

namespace orna::testing {

class ScanTarget {
 public:
  explicit ScanTarget(const std::string& path) : path_(path) {
    const char* paths[4] = {path_.c_str(), "/nonexistent/ttyACM1", "/nonexistent/ttyACM2",
                            "/nonexistent/ttyACM3"};
    _SetPortPathsForTesting(paths);
  }
  ~ScanTarget() { _SetPortPathsForTesting(nullptr); }

 private:
  std::string path_;
};

// Frame sequence numbers of all packets, in order.
std::vector<int> FrameSequence(const std::vector<emu::Bytes>& packets);

}  // namespace orna::testing
