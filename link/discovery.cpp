// Device discovery: the port scan of InitORNA, the identification handshake
// on one candidate port, and the start of the connection on the port found.
#include "link/discovery.h"

#include <limits.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "link/link_status.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"

namespace orna {

namespace {

const char* const kDefaultPortPaths[4] = {"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyACM2",
                                          "/dev/ttyACM3"};
// Under s_lock. Fixed storage: the scan copies nothing that could fail.
char s_PortPaths[4][PATH_MAX] = {"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyACM2", "/dev/ttyACM3"};

constexpr char kLegacySerialNo[] = "TALVEN ORNA";

// Closes the port of a rejected try and puts back the identity texts the
// try had already changed.
bool Reject(const IdentityTexts& kept) {
  _ClosePort();
  _RestoreIdentity(kept);
  return false;
}

// With the AD exchange lock held.
Connection ConnectOn(const char* path) {
  if (_COMStringFound(path)) {
    _LinkOpened();
    if (_StartReceiveThread()) return Connection::Opened;
    // Without a receive thread nothing would ever answer the instrument.
    _ClosePort();
    return Connection::NoThread;
  }
  g_hFile.store(-1);
  return Connection::NoInstrument;
}

}  // namespace

void _SetPortPathsForTesting(const char* const paths[4]) {
  LockGuard lock(s_lock);
  for (int i = 0; i < 4; ++i) {
    const char* p = paths != nullptr ? paths[i] : nullptr;
    std::snprintf(s_PortPaths[i], sizeof s_PortPaths[i], "%s", p != nullptr ? p : kDefaultPortPaths[i]);
  }
}

bool _TakeIdentifyReply(const unsigned char* reply, int n) {
  if (n <= 3) return false;
  const void* zero = std::memchr(reply, 0, static_cast<std::size_t>(n));
  const std::size_t length =
      zero != nullptr
          ? static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - reply)
          : static_cast<std::size_t>(n);
  _SetIdentityText(g_SerialNo, reinterpret_cast<const char*>(reply), length);
  return true;
}

bool _TakeLegacyReply(const unsigned char* reply, int n) {
  if (n < 4 || reply[0] != 'O' || reply[1] != 'R' || reply[2] != 'N') return false;
  _SetIdentityText(g_SerialNo, kLegacySerialNo, sizeof kLegacySerialNo - 1);
  return true;
}

HWInfoReply _TakeHWInfoReply(const unsigned char block[64], int n) {
  if (n != 64) {
    _SetIdentityText(g_HWInfo, nullptr, 0);
    _SetIdentityText(g_FWVer, nullptr, 0);
    _SetIdentityText(g_HWVer, nullptr, 0);
    return HWInfoReply::Cleared;
  }
  if (!_HWInfoBlockValid(block)) return HWInfoReply::Rejected;
  char hwinfo[32], fwver[8], hwver[8];
  _FormatHWInfo(block, hwinfo, fwver, hwver);
  _SetIdentityText(g_HWInfo, hwinfo, std::strlen(hwinfo));
  _SetIdentityText(g_FWVer, fwver, std::strlen(fwver));
  _SetIdentityText(g_HWVer, hwver, std::strlen(hwver));
  return HWInfoReply::Accepted;
}

bool _COMStringFound(const char* path) {
  if (!_OpenPort(path)) return false;
  const IdentityTexts kept = _SaveIdentity();

  if (_WriteCOMPort(1, &kIdentifyProbe) != 1) return Reject(kept);
  _SleepMilliseconds(5);
  unsigned char reply[36];
  int n = _ReadCOMPort(36, reply);
  if (!_TakeIdentifyReply(reply, n)) {
    if (_WriteCOMPort(1, &kLegacyIdentifyProbe) != 1) return Reject(kept);
    _SleepMilliseconds(5);
    n = _ReadCOMPort(36, reply);
    if (!_TakeLegacyReply(reply, n)) return Reject(kept);
  }

  if (_WriteCOMPort(5, kHWInfoRequest) != 5) return Reject(kept);
  _SleepMilliseconds(20);
  n = _ReadCOMPort(64, s_DeviceHWInfo);
  if (_TakeHWInfoReply(s_DeviceHWInfo, n) == HWInfoReply::Rejected) return Reject(kept);

  // A longer path is cut to what the 16-byte text holds rather than written
  // past its end.
  std::snprintf(g_COMString, sizeof g_COMString, "%s", path);
  return true;
}

bool _EndPreviousConnection() {
  // The thread of the previous connection may still be finishing its last
  // pass; it has to end before a new one starts on the same buffer.
  if (_ReceiveThreadRunning()) {
    if (_OnReceiveThread()) return false;
    _StopReceiveThread();
  }
  _ReleaseLostPort();
  return true;
}

Connection _ConnectFirstFound() {
  std::lock_guard<std::mutex> exchange(_ADExchangeLock());
  for (const char* path : s_PortPaths) {
    const Connection result = ConnectOn(path);
    if (result != Connection::NoInstrument) return result;
  }
  return Connection::NoInstrument;
}

Connection _ConnectPath(const char* path) {
  std::lock_guard<std::mutex> exchange(_ADExchangeLock());
  return ConnectOn(path);
}

}  // namespace orna
