// One lock around every call the panel makes into the library: its HTTP
// workers, the stream's pump and the start and stop steps would otherwise call
// it from several threads at once, and some of its answers are shared buffers
// (the port name, the identity texts).
#pragma once

#include <mutex>

namespace orna::panel {

inline std::mutex& LibraryLock() {
  static std::mutex m;
  return m;
}

}  // namespace orna::panel
