// Exclusive opening, loss of the device, and the link's counters.
#include "link/link_status.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link/lock.h"
#include "link/receive_thread.h"
#include "link/serial_port.h"

namespace orna {

LinkCounters s_Link;

namespace {

int Fail(int fd, int error) {
  close(fd);
  s_Port.open_errno.store(error);
  return -1;
}

}  // namespace

int _OpenExclusive(const char* path) {
  s_Port.gone.store(false);
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    s_Port.open_errno.store(errno);
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
  s_Port.open_errno.store(0);
  return fd;
}

int _LastOpenErrno() { return s_Port.open_errno.load(); }

void _NotePortGone() { s_Port.gone.store(true); }
bool _PortGone() { return s_Port.gone.load(); }

void _LinkOpened() {
  s_Link.requests.store(0, std::memory_order_relaxed);
  s_Link.packets.store(0, std::memory_order_relaxed);
  s_Link.sequence_errors.store(0, std::memory_order_relaxed);
  s_Link.write_failures.store(0, std::memory_order_relaxed);
  s_Link.bytes_dropped.store(0, std::memory_order_relaxed);
  s_Port.lost = false;
}

bool _LinkWasLost() { return s_Port.lost; }

void _LinkLost() {
  if (g_hFile.load() == -1) return;  // closed meanwhile
  const int fd = _DetachPort();
  if (s_Port.lost_fd >= 0) close(s_Port.lost_fd);
  s_Port.lost_fd = fd;
  s_Port.lost = true;
  if (s_Receiver.lost_hook != nullptr) s_Receiver.lost_hook();
}

void _ReleaseLostPort() {
  if (s_Port.lost_fd < 0) return;
  // The thread ends by itself after reporting the loss; it is waited for
  // unless this is that thread (a link-lost callback that closes or reopens).
  if (!_OnReceiveThread()) _StopReceiveThread();
  close(s_Port.lost_fd);
  s_Port.lost_fd = -1;
}

}  // namespace orna
