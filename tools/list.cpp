// `orna list`: the CDC ACM ports with their USB identity, to pick one for
// --port or --serial.
#include <cstdio>
#include <vector>

#include "orna.h"
#include "tools.h"

namespace orna::cli {

std::vector<OrnaPortInfo> ListPorts() {
  std::vector<OrnaPortInfo> ports;
  int n = OrnaListPorts(nullptr, 0);
  while (n > 0) {
    ports.resize(static_cast<std::size_t>(n));
    n = OrnaListPorts(ports.data(), n);
    if (n <= static_cast<int>(ports.size())) break;  // else a port appeared in between
  }
  ports.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return ports;
}

int RunList(std::FILE* out) {
  if (OrnaListPorts(nullptr, 0) < 0) {
    std::fprintf(stderr, "orna: %s\n", OrnaResultText("OrnaListPorts", -1));
    return kExitNoInstrument;
  }
  const std::vector<OrnaPortInfo> ports = ListPorts();
  if (ports.empty()) {
    std::fprintf(stderr, "orna: no CDC ACM ports (ttyACM*)\n");
    return kExitOk;
  }
  for (const OrnaPortInfo& p : ports) {
    std::fprintf(out, "%s  %04x:%04x  serial %s  %s %s\n", p.path, p.vendor_id, p.product_id,
                 p.serial[0] ? p.serial : "-", p.manufacturer, p.product);
    if (p.by_id[0]) std::fprintf(out, "    %s\n", p.by_id);
  }
  return kExitOk;
}

}  // namespace orna::cli
