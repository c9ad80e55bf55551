// The panel's only door to the library's extension calls (port listing, link
// health, result texts). Builds against a library that has them or not; when
// it has not, the answers come from what the panel can see by itself.
#pragma once

#include <string>
#include <vector>

namespace orna::panel {

struct PortEntry {
  std::string path, by_id, serial, manufacturer, product;
  unsigned vendor_id = 0, product_id = 0;
};

struct LinkHealth {
  bool known = false;  // false: the library cannot tell
  bool open = false, lost = false, streaming = false;
  unsigned long long requests = 0, packets = 0, sequence_errors = 0, write_failures = 0,
                     bytes_dropped = 0;
};

// True when the library provides the extension calls.
bool HaveExtensionApi();
std::vector<PortEntry> ListPorts();
// 1 opened, 0 no instrument answered, -1 cannot open, -16 held by another process.
int OpenPort(const std::string& path);
LinkHealth GetLinkHealth();
// `callback` runs on the library's receive thread when the instrument goes away.
void OnLinkLost(void (*callback)(void));
// The library's words for `code` returned by `function`; empty when it has none.
std::string ResultText(const char* function, int code);
std::string LastErrorText();

}  // namespace orna::panel
