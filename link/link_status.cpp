// Exclusive opening, loss of the device, and the link's counters.
#include "link/link_status.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "control/apply.h"
#include "generator/settings.h"
#include "link/lock.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"
#include "orna.h"

namespace orna {

LinkCounters s_Link;

namespace {

std::atomic<int> s_OpenErrno{0};
std::atomic<bool> s_PortGoneFlag{false};
bool s_Lost = false;     // under s_lock
int s_LostFd = -1;       // under s_lock
void (*s_LinkLostCB)() = nullptr;  // under s_lock

int Fail(int fd, int error) {
  close(fd);
  s_OpenErrno.store(error);
  return -1;
}

}  // namespace

int _OpenExclusive(const char* path) {
  s_PortGoneFlag.store(false);
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    s_OpenErrno.store(errno);
    return -1;
  }
  // Without a terminal there is no line to configure and no instrument.
  if (!isatty(fd)) return Fail(fd, ENOTTY);
  // Before anything touches the line: a port another process holds is left
  // exactly as it is.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return Fail(fd, errno == EWOULDBLOCK ? EBUSY : errno);
  // Also keeps programs that do not take the advisory lock from opening it
  // (the system lets privileged ones through).
  ioctl(fd, TIOCEXCL);
  s_OpenErrno.store(0);
  return fd;
}

int _LastOpenErrno() { return s_OpenErrno.load(); }

void _NotePortGone() { s_PortGoneFlag.store(true); }
bool _PortGone() { return s_PortGoneFlag.load(); }

void _LinkOpened() {
  s_Link.requests.store(0, std::memory_order_relaxed);
  s_Link.packets.store(0, std::memory_order_relaxed);
  s_Link.sequence_errors.store(0, std::memory_order_relaxed);
  s_Link.write_failures.store(0, std::memory_order_relaxed);
  s_Link.bytes_dropped.store(0, std::memory_order_relaxed);
  s_Lost = false;
}

void _LinkLost() {
  if (g_hFile.load() == -1) return;  // closed meanwhile
  const int fd = _DetachPort();
  if (s_LostFd >= 0) close(s_LostFd);
  s_LostFd = fd;
  s_Lost = true;
  // As if output 0 were applied: the engine sends nothing without a port.
  g_MainOutput = 0;
  if (s_ECGGoing && !_ChangeInProcess) _Change();
  s_ECGGoing = false;
  if (s_LinkLostCB != nullptr) s_LinkLostCB();
}

void _ReleaseLostPort() {
  if (s_LostFd < 0) return;
  // The thread ends by itself after reporting the loss; it is waited for
  // unless this is that thread (a link-lost callback that closes or reopens).
  if (!_OnReceiveThread()) _StopReceiveThread();
  close(s_LostFd);
  s_LostFd = -1;
}

}  // namespace orna

using namespace orna;

extern "C" {

int OrnaGetLinkStatus(OrnaLinkStatus* status) {
  // The flags are the least a caller must have room for.
  if (status == nullptr || status->size < offsetof(OrnaLinkStatus, requests)) return -1;
  OrnaLinkStatus s;
  std::memset(&s, 0, sizeof s);
  {
    LockGuard lock(s_lock);
    s.open = g_hFile.load() != -1;
    s.lost = s_Lost;
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

void OrnaRegisterLinkLostCB(void (*callback)(void)) {
  LockGuard lock(s_lock);
  s_LinkLostCB = callback;
}

}  // extern "C"
