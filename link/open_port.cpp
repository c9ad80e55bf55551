// OrnaOpenPort: the handshake of InitORNA on one chosen path, and the text
// that says why the last open failed.
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "link/discovery.h"
#include "link/link_status.h"
#include "link/lock.h"
#include "link/receive_thread.h"
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

int OrnaOpenPort(const char* path) {
  LockGuard lock(s_lock);
  // Already open: nothing is touched, as with InitORNA.
  if (g_hFile.load() != -1) return 1;
  if (path == nullptr || *path == '\0') {
    SetError(path == nullptr ? "(null)" : "\"\"", std::strerror(ENOENT));
    return -1;
  }
  if (_ReceiveThreadRunning()) {
    // The previous connection's thread cannot wait for itself to end.
    if (_OnReceiveThread()) {
      SetError(path, "cannot be opened from the library's receive thread");
      return -1;
    }
    _StopReceiveThread();
  }
  _ReleaseLostPort();
  std::lock_guard<std::mutex> exchange(_ADExchangeLock());
  // A by-id link names the device node; the node is what GetUSBPort reports.
  char real[PATH_MAX];
  if (realpath(path, real) == nullptr) {
    SetError(path, std::strerror(errno));
    return -1;
  }
  if (_COMStringFound(real)) {
    _LinkOpened();
    if (_StartReceiveThread()) {
      s_LastError[0] = '\0';
      return 1;
    }
    _ClosePort();
    SetError(path, "no receive thread could be started");
    return -1;
  }
  g_hFile.store(-1);
  const int error = _LastOpenErrno();
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

const char* OrnaLastErrorText(void) {
  LockGuard lock(s_lock);
  return s_LastError;
}

}  // extern "C"
