#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "orna.h"
#include "tools.h"

namespace orna::cli {

namespace {

// Opens exactly `path`; says why on stderr when that fails.
bool OpenPath(const std::string& path) {
  const int r = OrnaOpenPort(path.c_str());
  if (r == 1) return true;
  std::fprintf(stderr, "orna: %s\n", OrnaLastErrorText());
  return false;
}

}  // namespace

std::unique_ptr<Session> Session::Open(bool emulate, const std::string& port,
                                       const std::string& serial) {
  auto s = std::unique_ptr<Session>(new Session);
  if (emulate) {
    s->vi_ = std::make_unique<emu::VirtualInstrument>();
    if (!OpenPath(s->vi_->path())) return nullptr;
    return s;
  }
  if (!port.empty()) {
    if (!OpenPath(port)) return nullptr;
    return s;
  }
  if (!serial.empty()) {
    for (const OrnaPortInfo& p : ListPorts()) {
      if (serial == p.serial) {
        if (!OpenPath(p.path)) return nullptr;
        return s;
      }
    }
    std::fprintf(stderr, "orna: no port with serial number %s (see orna list)\n", serial.c_str());
    return nullptr;
  }
  if (InitORNA() != 1) {
    std::fprintf(stderr, "orna: %s\n", OrnaResultText("InitORNA", 0));
    return nullptr;
  }
  return s;
}

Session::~Session() { CloseORNA(); }

}  // namespace orna::cli
