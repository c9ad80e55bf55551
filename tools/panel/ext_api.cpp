#include "ext_api.h"

#include <sys/stat.h>

#include <cstdio>

#include "link/discovery.h"
#include "orna.h"

namespace orna::panel {

#if ORNA_PANEL_EXTENSION_API

bool HaveExtensionApi() { return true; }

std::vector<PortEntry> ListPorts() {
  std::vector<PortEntry> out;
  OrnaPortInfo info[16];
  int n = OrnaListPorts(info, 16);
  for (int i = 0; i < n && i < 16; ++i) {
    PortEntry e;
    e.path = info[i].path;
    e.by_id = info[i].by_id;
    e.serial = info[i].serial;
    e.manufacturer = info[i].manufacturer;
    e.product = info[i].product;
    e.vendor_id = info[i].vendor_id;
    e.product_id = info[i].product_id;
    out.push_back(e);
  }
  return out;
}

int OpenPort(const std::string& path) { return OrnaOpenPort(path.c_str()); }

LinkHealth GetLinkHealth() {
  OrnaLinkStatus s{};
  s.size = sizeof s;
  LinkHealth h;
  if (OrnaGetLinkStatus(&s) != 0) return h;
  h.known = true;
  h.open = s.open;
  h.lost = s.lost;
  h.streaming = s.streaming;
  h.requests = s.requests;
  h.packets = s.packets;
  h.sequence_errors = s.sequence_errors;
  h.write_failures = s.write_failures;
  h.bytes_dropped = s.bytes_dropped;
  return h;
}

void OnLinkLost(void (*callback)(void)) { OrnaRegisterLinkLostCB(callback); }

std::string ResultText(const char* function, int code) {
  const char* t = OrnaResultText(function, code);
  return t ? t : "";
}

std::string LastErrorText() {
  const char* t = OrnaLastErrorText();
  return t ? t : "";
}

#else  // a library without the extension calls

bool HaveExtensionApi() { return false; }

// The ports the library's own scan tries.
std::vector<PortEntry> ListPorts() {
  std::vector<PortEntry> out;
  for (int i = 0; i < 4; ++i) {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/ttyACM%d", i);
    struct stat st;
    if (stat(path, &st) == 0) out.push_back(PortEntry{path, "", "", "", "", 0, 0});
  }
  return out;
}

namespace {
std::string g_path;  // outlives the path table handed to the library
}

int OpenPort(const std::string& path) {
  g_path = path;
  const char* paths[4] = {g_path.c_str(), g_path.c_str(), g_path.c_str(), g_path.c_str()};
  _SetPortPathsForTesting(paths);
  return InitORNA() == 1 ? 1 : 0;
}

LinkHealth GetLinkHealth() { return LinkHealth{}; }
void OnLinkLost(void (*)(void)) {}
std::string ResultText(const char*, int) { return ""; }
std::string LastErrorText() { return ""; }

#endif

}  // namespace orna::panel
