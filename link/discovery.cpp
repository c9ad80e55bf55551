// Device discovery: the port scan of InitORNA, the identification handshake
// on one candidate port, and the start of the connection on the port found.
#include "link/discovery.h"

#include <limits.h>
#include <unistd.h>

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

// The opens, one at a time: their handshakes run without s_lock. Before
// s_lock in the lock order.
std::mutex s_OpenLock;

// A thread's turn to open. A thread that already holds s_lock (a callback
// calling an open) must not wait for an open that waits for s_lock: it gets
// its turn only when no other open runs.
class OpenTurn {
 public:
  OpenTurn() : taken_(s_lock.HeldHere() ? s_OpenLock.try_lock() : (s_OpenLock.lock(), true)) {}
  ~OpenTurn() {
    if (taken_) s_OpenLock.unlock();
  }
  explicit operator bool() const { return taken_; }
  OpenTurn(const OpenTurn&) = delete;
  OpenTurn& operator=(const OpenTurn&) = delete;

 private:
  bool taken_;
};

// Closes the line of a rejected try; the texts the getters return were never
// touched.
int Reject(int fd) {
  close(fd);
  return -1;
}

// With the turn to open: the handshake on `path` without s_lock, then, under
// it, the identity committed and the connection started.
Connection ConnectOn(const char* path, int* open_errno) {
  IdentityTexts found = _SaveIdentity();
  unsigned char block[kHWInfoBlockLength];
  const int fd = _COMStringFound(path, found, block);
  *open_errno = _LastOpenErrno();
  if (fd < 0) return Connection::NoInstrument;
  ExportLock lock;
  _CommitIdentity(found);
  std::memcpy(s_DeviceHWInfo, block, sizeof block);
  // A longer path is cut to what the 16-byte text holds rather than written
  // past its end.
  std::snprintf(g_COMString, sizeof g_COMString, "%s", path);
  g_hFile.store(fd);
  _LinkOpened();
  if (_StartReceiveThread()) return Connection::Opened;
  // Without a receive thread nothing would ever answer the instrument.
  _ClosePort();
  return Connection::NoThread;
}

// With the turn to open: what must hold before a handshake, under s_lock.
Connection Prepare() {
  ExportLock lock;
  if (g_hFile.load() != -1) return Connection::AlreadyOpen;
  if (!_EndPreviousConnection()) return Connection::Refused;
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

int _COMStringFound(const char* path, IdentityTexts& found, unsigned char block[64]) {
  const int fd = _OpenLine(path);
  if (fd < 0) return -1;

  if (_WriteLine(fd, 1, &kIdentifyProbe) != 1) return Reject(fd);
  _SleepMilliseconds(kIdentifyWaitMs);
  unsigned char reply[kIdentifyReplyMax];
  int n = _ReadLine(fd, kIdentifyReplyMax, reply);
  if (!_TakeIdentifyReply(reply, n, found)) {
    if (_WriteLine(fd, 1, &kLegacyIdentifyProbe) != 1) return Reject(fd);
    _SleepMilliseconds(kIdentifyWaitMs);
    n = _ReadLine(fd, kIdentifyReplyMax, reply);
    if (!_TakeLegacyReply(reply, n, found)) return Reject(fd);
  }

  if (_WriteLine(fd, kHWInfoRequestLength, kHWInfoRequest) != kHWInfoRequestLength) {
    return Reject(fd);
  }
  _SleepMilliseconds(kHWInfoWaitMs);
  n = _ReadLine(fd, kHWInfoBlockLength, block);
  if (_TakeHWInfoReply(block, n, found) == HWInfoReply::Rejected) return Reject(fd);
  return fd;
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
  OpenTurn turn;
  if (!turn) return Connection::Busy;
  const Connection ready = Prepare();
  if (ready != Connection::NoInstrument) return ready;
  char paths[4][PATH_MAX];
  {
    ExportLock lock;
    std::memcpy(paths, s_PortPaths, sizeof paths);
  }
  int ignored;
  for (const char* path : paths) {
    const Connection result = ConnectOn(path, &ignored);
    if (result != Connection::NoInstrument) return result;
  }
  return Connection::NoInstrument;
}

Connection _ConnectPath(const char* path, int* open_errno) {
  *open_errno = 0;
  OpenTurn turn;
  if (!turn) return Connection::Busy;
  const Connection ready = Prepare();
  if (ready != Connection::NoInstrument) return ready;
  return ConnectOn(path, open_errno);
}

}  // namespace orna
