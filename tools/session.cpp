#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "link/discovery.h"
#include "orna.h"
#include "tools.h"

namespace orna::cli {

namespace {
std::string g_port;  // must outlive the path table handed to the library
}

std::unique_ptr<Session> Session::Open(bool emulate, const std::string& port) {
  auto s = std::unique_ptr<Session>(new Session);
  if (emulate) {
    emu::Config config;
    config.record_packets = false;  // the samples are all a run needs
    s->vi_ = std::make_unique<emu::VirtualInstrument>(config);
    g_port = s->vi_->path();
  } else {
    g_port = port;
    // The scan only tells whether an instrument answered; a port that cannot
    // even be opened has a better reason, the system's.
    if (!g_port.empty()) {
      int fd = ::open(g_port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) {
        std::fprintf(stderr, "orna: cannot open %s: %s\n", g_port.c_str(), std::strerror(errno));
        return nullptr;
      }
      ::close(fd);
    }
  }
  if (!g_port.empty()) {
    const char* paths[4] = {g_port.c_str(), g_port.c_str(), g_port.c_str(), g_port.c_str()};
    _SetPortPathsForTesting(paths);
  }
  // The in-process instrument is certainly there, but a loaded machine can
  // keep its thread from answering within the handshake's time: it gets a
  // few tries. A real port gets one, as the library's own scan does.
  int opened = InitORNA();
  for (int retry = 0; emulate && opened != 1 && retry < 4; ++retry) opened = InitORNA();
  if (opened != 1) {
    if (g_port.empty())
      std::fprintf(stderr, "orna: no instrument answered on /dev/ttyACM0..3\n");
    else
      std::fprintf(stderr, "orna: no instrument answered on %s\n", g_port.c_str());
    return nullptr;
  }
  return s;
}

Session::~Session() { CloseORNA(); }

}  // namespace orna::cli
