#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "orna.h"
#include "text.h"
#include "tools.h"

namespace orna::cli {

namespace {

// Opens exactly `path` (`tries` times when no instrument answers); says why
// on stderr when that fails.
bool OpenPath(const std::string& path, int tries = 1) {
  int r = OrnaOpenPort(path.c_str());
  for (int i = 1; r == 0 && i < tries; ++i) r = OrnaOpenPort(path.c_str());
  if (r == 1) return true;
  std::fprintf(stderr, "orna: %s\n", TerminalSafe(OrnaLastErrorText()).c_str());  // names the path given
  return false;
}

}  // namespace

std::unique_ptr<Session> Session::Open(bool emulate, const std::string& port,
                                       const std::string& serial) {
  auto s = std::unique_ptr<Session>(new Session);
  if (emulate) {
    emu::Config config;
    config.record_packets = false;  // the samples are all a run needs
    s->vi_ = std::make_unique<emu::VirtualInstrument>(config);
    // The in-process instrument is certainly there, but a loaded machine can
    // keep its thread from answering within the handshake's time: it gets a
    // few tries. A real port gets one, as the library's own scan does.
    if (!OpenPath(s->vi_->path(), 5)) return nullptr;
    // It reports its firmware version right after the handshake; settings
    // applied before the library has read the report would get the older
    // firmware's range.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (s->vi_->host_has_unread() && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
