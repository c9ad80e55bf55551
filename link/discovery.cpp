// Device discovery: the port scan of InitORNA, the identification handshake
// on one candidate port, and the start of the connection on the port found.
#include "link/discovery.h"

#include <limits.h>

#include <cstdio>
#include <cstring>

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

// Closes the port of a rejected try; the texts the getters return were never
// touched.
bool Reject() {
  _ClosePort();
  return false;
}

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
  ExportLock lock;
  for (int i = 0; i < 4; ++i) {
    const char* p = paths != nullptr ? paths[i] : nullptr;
    std::snprintf(s_PortPaths[i], sizeof s_PortPaths[i], "%s", p != nullptr ? p : kDefaultPortPaths[i]);
  }
}

bool _TakeIdentifyReply(const unsigned char* reply, int n, IdentityTexts& texts) {
  if (n <= 3) return false;
  const void* zero = std::memchr(reply, 0, static_cast<std::size_t>(n));
  const std::size_t length =
      zero != nullptr
          ? static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - reply)
          : static_cast<std::size_t>(n);
  _SetIdentityText(texts, kSerialNoText, reinterpret_cast<const char*>(reply), length);
  return true;
}

bool _TakeLegacyReply(const unsigned char* reply, int n, IdentityTexts& texts) {
  if (n < 4 || reply[0] != 'O' || reply[1] != 'R' || reply[2] != 'N') return false;
  _SetIdentityText(texts, kSerialNoText, kLegacySerialNo, sizeof kLegacySerialNo - 1);
  return true;
}

HWInfoReply _TakeHWInfoReply(const unsigned char block[64], int n, IdentityTexts& texts) {
  if (n != kHWInfoBlockLength) {
    _SetIdentityText(texts, kHWInfoText, nullptr, 0);
    _SetIdentityText(texts, kFWVerText, nullptr, 0);
    _SetIdentityText(texts, kHWVerText, nullptr, 0);
    return HWInfoReply::Cleared;
  }
  if (!_HWInfoBlockValid(block)) return HWInfoReply::Rejected;
  char hwinfo[32], fwver[8], hwver[8];
  _FormatHWInfo(block, hwinfo, fwver, hwver);
  _SetIdentityText(texts, kHWInfoText, hwinfo, std::strlen(hwinfo));
  _SetIdentityText(texts, kFWVerText, fwver, std::strlen(fwver));
  _SetIdentityText(texts, kHWVerText, hwver, std::strlen(hwver));
  return HWInfoReply::Accepted;
}

bool _COMStringFound(const char* path) {
  if (!_OpenPort(path)) return false;
  IdentityTexts found = _SaveIdentity();

  if (_WriteCOMPort(1, &kIdentifyProbe) != 1) return Reject();
  _SleepMilliseconds(kIdentifyWaitMs);
  unsigned char reply[kIdentifyReplyMax];
  int n = _ReadCOMPort(kIdentifyReplyMax, reply);
  if (!_TakeIdentifyReply(reply, n, found)) {
    if (_WriteCOMPort(1, &kLegacyIdentifyProbe) != 1) return Reject();
    _SleepMilliseconds(kIdentifyWaitMs);
    n = _ReadCOMPort(kIdentifyReplyMax, reply);
    if (!_TakeLegacyReply(reply, n, found)) return Reject();
  }

  if (_WriteCOMPort(kHWInfoRequestLength, kHWInfoRequest) != kHWInfoRequestLength) return Reject();
  _SleepMilliseconds(kHWInfoWaitMs);
  unsigned char block[kHWInfoBlockLength];
  n = _ReadCOMPort(kHWInfoBlockLength, block);
  if (_TakeHWInfoReply(block, n, found) == HWInfoReply::Rejected) return Reject();

  _CommitIdentity(found);
  std::memcpy(s_DeviceHWInfo, block, sizeof block);
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
  for (const char* path : s_PortPaths) {
    const Connection result = ConnectOn(path);
    if (result != Connection::NoInstrument) return result;
  }
  return Connection::NoInstrument;
}

Connection _ConnectPath(const char* path) {
  return ConnectOn(path);
}

}  // namespace orna
