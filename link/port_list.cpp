// OrnaListPorts: the ttyACM ports from the kernel's device tree, with the USB
// identity of the device each belongs to and its stable /dev/serial/by-id name.
#include "link/port_list.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/lock.h"
#include "orna.h"

namespace orna {

namespace {

// Under s_lock.
char s_SysRoot[PATH_MAX] = "/sys";
char s_DevRoot[PATH_MAX] = "/dev";

// Closed also when listing ends early (out of memory).
using Directory = std::unique_ptr<DIR, int (*)(DIR*)>;

// The first line of a small sysfs attribute file, without its line end; ""
// when the file is missing (a device that is not USB has no such attributes).
std::string ReadAttribute(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "re")) {
    char line[256];
    if (std::fgets(line, sizeof line, f) != nullptr) text = line;
    std::fclose(f);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

unsigned short HexAttribute(const std::string& path) {
  const std::string text = ReadAttribute(path);
  if (text.empty()) return 0;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 16);
  return (end != text.c_str() && v <= 0xFFFF) ? static_cast<unsigned short>(v) : 0;
}

// Copies with truncation; the field always ends with a zero byte.
template <std::size_t N>
void Put(char (&field)[N], const std::string& text) {
  std::snprintf(field, N, "%s", text.c_str());
}

// ttyACM2 before ttyACM10.
bool NameOrder(const std::string& a, const std::string& b) {
  const long na = std::strtol(a.c_str() + 6, nullptr, 10);
  const long nb = std::strtol(b.c_str() + 6, nullptr, 10);
  return na != nb ? na < nb : a < b;
}

std::string Resolved(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

// The by-id link that leads to `node`; compared by resolved path, or by the
// link target's last component when the node cannot be resolved.
std::string ByIdLink(const std::string& by_id_dir, const std::string& node,
                     const std::string& name) {
  std::string found;
  const Directory d(opendir(by_id_dir.c_str()), closedir);
  if (d == nullptr) return found;
  const std::string node_real = Resolved(node);
  std::vector<std::string> links;
  while (dirent* e = readdir(d.get())) {
    if (e->d_name[0] != '.') links.push_back(e->d_name);
  }
  std::sort(links.begin(), links.end());
  for (const std::string& l : links) {
    const std::string link = by_id_dir + "/" + l;
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    const std::string last = slash != nullptr ? slash + 1 : target;
    const std::string real = Resolved(link);
    if ((!node_real.empty() && real == node_real) || (node_real.empty() && last == name)) {
      found = link;
      break;
    }
  }
  return found;
}

int ListPorts(OrnaPortInfo* ports, int max, const std::string& sys_root,
              const std::string& dev_root) {
  const std::string tty_dir = sys_root + "/class/tty";
  std::vector<std::string> names;
  {
    const Directory d(opendir(tty_dir.c_str()), closedir);
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d.get())) {
      if (std::strncmp(e->d_name, "ttyACM", 6) == 0) names.push_back(e->d_name);
    }
  }
  std::sort(names.begin(), names.end(), NameOrder);

  const int count = static_cast<int>(names.size());
  for (int i = 0; i < count && i < max; ++i) {
    const std::string& name = names[static_cast<std::size_t>(i)];
    OrnaPortInfo& p = ports[i];
    std::memset(&p, 0, sizeof p);
    const std::string node = dev_root + "/" + name;
    Put(p.path, node);
    Put(p.by_id, ByIdLink(dev_root + "/serial/by-id", node, name));
    // "device" is the USB interface; its parent is the USB device, which
    // carries the IDs and strings.
    const std::string usb = tty_dir + "/" + name + "/device/../";
    p.vendor_id = HexAttribute(usb + "idVendor");
    p.product_id = HexAttribute(usb + "idProduct");
    Put(p.serial, ReadAttribute(usb + "serial"));
    Put(p.manufacturer, ReadAttribute(usb + "manufacturer"));
    Put(p.product, ReadAttribute(usb + "product"));
  }
  return count;
}

}  // namespace

void _SetDeviceTreeForTesting(const char* sys_root, const char* dev_root) {
  ExportLock lock;
  std::snprintf(s_SysRoot, sizeof s_SysRoot, "%s", sys_root != nullptr ? sys_root : "/sys");
  std::snprintf(s_DevRoot, sizeof s_DevRoot, "%s", dev_root != nullptr ? dev_root : "/dev");
}

}  // namespace orna

using namespace orna;

extern "C" {

int OrnaListPorts(OrnaPortInfo* ports, int max) noexcept {
  NoCancel no_cancel;
  if (ports == nullptr || max < 0) max = 0;
  // Out of memory while listing is an error like an unreadable device tree;
  // nothing may escape to a C caller.
  try {
    std::string sys_root, dev_root;
    {
      ExportLock lock;
      sys_root = s_SysRoot;
      dev_root = s_DevRoot;
    }
    // The device tree is read without the library lock: sysfs reads can
    // block, and the stream and every other call go on meanwhile.
    return ListPorts(ports, max, sys_root, dev_root);
  } catch (...) {
    return -1;
  }
}

}  // extern "C"
