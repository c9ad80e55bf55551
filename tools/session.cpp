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
    s->vi_ = std::make_unique<emu::VirtualInstrument>();
    g_port = s->vi_->path();
  } else {
    g_port = port;
  }
  if (!g_port.empty()) {
    const char* paths[4] = {g_port.c_str(), g_port.c_str(), g_port.c_str(), g_port.c_str()};
    _SetPortPathsForTesting(paths);
  }
  if (InitORNA() != 1) return nullptr;
  return s;
}

Session::~Session() { CloseORNA(); }

}  // namespace orna::cli
