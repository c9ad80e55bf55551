// The exported connection entry points: InitORNA and OrnaOpenPort install the
// handling of the instrument's messages, then let the link scan, handshake
// and start its receive thread; the text of the last failed open; the link's
// status.
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "control/apply.h"
#include "control/instrument_messages.h"
#include "link/discovery.h"
#include "link/link_status.h"
#include "link/lock.h"
#include "link/serial_port.h"
#include "orna.h"

namespace orna {

namespace {

char s_LastError[PATH_MAX + 128];  // under s_lock

void SetError(const char* path, const char* why) {
  std::snprintf(s_LastError, sizeof s_LastError, "%s: %s", path, why);
}

}  // namespace

}  // namespace orna

using namespace orna;

extern "C" {

int InitORNA(void) noexcept {
  NoCancel no_cancel;
  {
    ExportLock lock;
    // Already open: nothing to do; a second descriptor or receive thread
    // would compete with the first.
    if (g_hFile.load() != -1) return 1;
    _InstallInstrumentHandlers();
  }
  // The handshake runs without the lock: other calls answer meanwhile (no
  // instrument is open yet for them).
  const Connection c = _ConnectFirstFound();
  return c == Connection::Opened || c == Connection::AlreadyOpen ? 1 : 0;
}

int OrnaOpenPort(const char* path) noexcept {
  NoCancel no_cancel;
  {
    ExportLock lock;
    // Already open: nothing is touched, as with InitORNA.
    if (g_hFile.load() != -1) return 1;
    if (path == nullptr || *path == '\0') {
      SetError(path == nullptr ? "(null)" : "\"\"", std::strerror(ENOENT));
      return -1;
    }
    // A lost connection is released before anything else, even a path that
    // cannot be resolved.
    if (!_EndPreviousConnection()) {
      SetError(path, "cannot be opened from the library's receive thread");
      return -1;
    }
    _InstallInstrumentHandlers();
  }
  // A by-id link names the device node; the node is what GetUSBPort reports.
  // Resolved without the lock: the file system may be slow.
  char real[PATH_MAX];
  if (realpath(path, real) == nullptr) {
    const int error = errno;
    ExportLock lock;
    SetError(path, std::strerror(error));
    return -1;
  }
  int error = 0;
  const Connection c = _ConnectPath(real, &error);
  ExportLock lock;
  switch (c) {
    case Connection::Opened:
      s_LastError[0] = '\0';
      return 1;
    case Connection::AlreadyOpen:
      return 1;
    case Connection::Refused:
      SetError(path, "cannot be opened from the library's receive thread");
      return -1;
    case Connection::Busy:
      SetError(path, "cannot be opened from a callback while another open runs");
      return -1;
    case Connection::NoThread:
      SetError(path, "no receive thread could be started");
      return -1;
    case Connection::NoInstrument:
      break;
  }
  if (error == EBUSY) {
    SetError(path, "held by another process");
    return -16;
  }
  if (error != 0) {
    SetError(path, std::strerror(error));
    return -1;
  }
  SetError(path, "no instrument answered");
  return 0;
}

const char* OrnaLastErrorText(void) noexcept {
  ExportLock lock;
  return s_LastError;
}

int OrnaGetLinkStatus(OrnaLinkStatus* status) noexcept {
  // The flags are the least a caller must have room for.
  if (status == nullptr || status->size < offsetof(OrnaLinkStatus, requests)) return -1;
  OrnaLinkStatus s;
  std::memset(&s, 0, sizeof s);
  {
    ExportLock lock;
    s.open = g_hFile.load() != -1;
    s.lost = _LinkWasLost();
    s.streaming = s_ECGGoing;
  }
  s.requests = s_Link.requests.load(std::memory_order_relaxed);
  s.packets = s_Link.packets.load(std::memory_order_relaxed);
  s.sequence_errors = s_Link.sequence_errors.load(std::memory_order_relaxed);
  s.write_failures = s_Link.write_failures.load(std::memory_order_relaxed);
  s.bytes_dropped = s_Link.bytes_dropped.load(std::memory_order_relaxed);
  // An older caller's record may end before the newest fields: fill what fits.
  const std::size_t n = status->size < sizeof s ? status->size : sizeof s;
  const std::size_t head = sizeof s.size;
  std::memcpy(reinterpret_cast<unsigned char*>(status) + head,
              reinterpret_cast<const unsigned char*>(&s) + head, n - head);
  return 0;
}

}  // extern "C"
