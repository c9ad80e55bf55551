// Serial transport: opening and configuring the port, the waiting read and
// the retrying write.
#include "link/serial_port.h"

#include "link/link_status.h"

#include <aio.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <shared_mutex>

namespace orna {

Port::Port() {
  // Close-on-exec from the start: a child started meanwhile by another thread
  // must not inherit it.
  if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) wake_pipe[0] = wake_pipe[1] = -1;
}

namespace {

void DrainWakePipe() {
  unsigned char sink[64];
  while (read(s_Port.wake_pipe[0], sink, sizeof sink) > 0) {
  }
}

constexpr long kReadTimeoutUs = 100000;
constexpr auto kWriteBound = std::chrono::milliseconds(1000);

enum class Ready { Timeout, Error, Port, Woken, WakeOnly };

// One wait for the port or the wake pipe to become readable; `tv` is reduced
// by the time waited, as select does on this system.
Ready WaitReadable(int fd, timeval* tv) {
  const int wake = s_Port.wake_pipe[0];
  if (fd < FD_SETSIZE && wake < FD_SETSIZE) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    if (wake >= 0) FD_SET(wake, &set);
    const int r = select((fd > wake ? fd : wake) + 1, &set, nullptr, nullptr, tv);
    if (r == 0) return Ready::Timeout;
    if (r < 0) return Ready::Error;
    if (wake >= 0 && FD_ISSET(wake, &set)) {
      return FD_ISSET(fd, &set) ? Ready::Woken : Ready::WakeOnly;
    }
    return Ready::Port;
  }
  // Descriptors beyond FD_SETSIZE cannot be put into an fd_set without
  // writing past it; wait with poll and keep the time account by hand.
  pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  const auto start = std::chrono::steady_clock::now();
  const int ms = static_cast<int>(tv->tv_sec * 1000 + (tv->tv_usec + 999) / 1000);
  const int r = poll(p, wake >= 0 ? 2 : 1, ms);
  const long waited = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
  long left = tv->tv_sec * 1000000L + tv->tv_usec - waited;
  if (left < 0) left = 0;
  tv->tv_sec = left / 1000000L;
  tv->tv_usec = left % 1000000L;
  if (r == 0) return Ready::Timeout;
  if (r < 0) return Ready::Error;
  const bool port = (p[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
  if (wake >= 0 && (p[1].revents & POLLIN)) return port ? Ready::Woken : Ready::WakeOnly;
  return Ready::Port;
}

}  // namespace

void _SleepMilliseconds(int ms) {
  // To a fixed deadline: sleeping again for the remaining time after every
  // signal would lose a little at each one and, under frequent signals, never
  // end.
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += (ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_nsec -= 1000000000L;
    ++deadline.tv_sec;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

int _OpenLine(const char* path) {
  // Close-on-exec (a program the host starts must not keep the line open
  // after the host has closed it) and held exclusively: see _OpenExclusive.
  const int fd = _OpenExclusive(path);
  // Descriptor 0 is a port like any other (standard input may be closed).
  if (fd < 0) return -1;
  // A stall of an earlier line says nothing about this one.
  s_Port.stalled.store(false);
  aio_cancel(fd, nullptr);

  termios t{};
  // Only a terminal can be the instrument's line: anything else (a regular
  // file, a pipe) is given up before a byte is written to it.
  if (tcgetattr(fd, &t) != 0) {
    close(fd);
    return -1;
  }
  t.c_lflag = 0;
  // Every byte as it was sent: no input or output processing an earlier user
  // of the line may have left (stripping, CR/NL mapping, dropped CRs, doubled
  // 0xFF, break handling, case mapping, XON/XOFF in either direction).
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IUCLC | IXON | IXOFF | IMAXBEL);
  t.c_iflag |= IGNPAR;
  t.c_oflag = 0;
  t.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  t.c_cc[VEOF] = 4;
  // The reads wait in select and take what is there: a select only reports
  // the line readable once VMIN bytes have come, so a VMIN left by an earlier
  // program (ports keep their settings between opens) would hold back every
  // request shorter than it.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetospeed(&t, B115200);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

bool _OpenPort(const char* path) {
  const int fd = _OpenLine(path);
  g_hFile.store(fd);
  s_Port.stalled.store(false);
  return fd >= 0;
}

int _ReadLine(int fd, int count, unsigned char* buffer) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(kReadTimeoutUs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now() + std::chrono::microseconds(999));
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left.count() > 0 ? left.count() : 0));
    if (r <= 0) return -1;
    const ssize_t n = read(fd, buffer, static_cast<size_t>(count));
    if (n != -1) return static_cast<int>(n);
    if (errno != EAGAIN) return -1;
    _SleepMilliseconds(10);
  }
}

void _ClosePort() {
  if (g_hFile.load() == -1) return;
  // The receive thread's read stops waiting so the close is not held up by
  // its 100 ms timeout.
  _WakeReaders();
  std::unique_lock<std::shared_mutex> gate(s_Port.gate);
  const int fd = g_hFile.exchange(-1);
  if (fd != -1) close(fd);
}

unsigned _WakeGeneration() { return s_Port.wake_count.load(); }

void _WakeReaders() {
  s_Port.wake_count.fetch_add(1);
  if (s_Port.wake_pipe[1] >= 0) {
    const unsigned char b = 1;
    // A full pipe already wakes everyone; nothing to add then.
    ssize_t ignored = write(s_Port.wake_pipe[1], &b, 1);
    (void)ignored;
  }
}

namespace {

int ReadWithin(int count, unsigned char* buffer, unsigned generation, long timeout_us) {
  if (g_hFile.load() == -1) return 0;
  std::shared_lock<std::shared_mutex> gate(s_Port.gate);
  int fd = g_hFile.load();
  if (fd == -1) return 0;
  if (fd < 0) return -1;
  if (timeout_us < 0) timeout_us = 0;
  timeval tv{static_cast<time_t>(timeout_us / 1000000L),
             static_cast<suseconds_t>(timeout_us % 1000000L)};
  for (;;) {
    const Ready ready = WaitReadable(fd, &tv);
    if (ready == Ready::Timeout || ready == Ready::Error) return -1;
    if (ready == Ready::Woken || ready == Ready::WakeOnly) {
      if (s_Port.wake_count.load() != generation) return -1;
      DrainWakePipe();
      if (s_Port.wake_count.load() != generation) return -1;
      if (ready == Ready::WakeOnly) continue;
    }
    const ssize_t n = read(fd, buffer, static_cast<size_t>(count));
    // Readable yet nothing to read, or EIO and kin: the device hung up.
    if (n == 0 || (n < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV))) _NotePortGone();
    if (n != -1) return static_cast<int>(n);
    if (errno != EAGAIN) return -1;
    _SleepMilliseconds(10);
    fd = g_hFile.load();
    if (fd == -1) return 0;
  }
}

}  // namespace

int _ReadCOMPortUnlessWoken(int count, unsigned char* buffer, unsigned generation) {
  return ReadWithin(count, buffer, generation, kReadTimeoutUs);
}

int _ReadCOMPortUnlessWokenWithin(int count, unsigned char* buffer, unsigned generation,
                                  long timeout_us) {
  return ReadWithin(count, buffer, generation, timeout_us);
}

int _ReadCOMPortWithin(int count, unsigned char* buffer, long timeout_us) {
  return ReadWithin(count, buffer, _WakeGeneration(), timeout_us);
}

int _ReadCOMPort(int count, unsigned char* buffer) {
  return _ReadCOMPortUnlessWoken(count, buffer, _WakeGeneration());
}

namespace {

int WriteOn(int fd, int count, const unsigned char* bytes) {
  // The instrument frames messages by their fixed lengths, so a message cut
  // short would garble everything after it: the rest of a partial write is
  // sent too. A stalled instrument must not hold the caller forever, though.
  const auto deadline = std::chrono::steady_clock::now() + kWriteBound;
  int done = 0;
  while (done < count) {
    const ssize_t n = write(fd, bytes + done, static_cast<size_t>(count - done));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      _CountLink(s_Link.write_failures);
      return -1;
    }
    // Nothing of this message has gone out, so giving up keeps the framing.
    if (done == 0 && s_Port.stalled.load()) {
      _CountLink(s_Link.write_failures);
      return 0;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      s_Port.stalled.store(true);
      _CountLink(s_Link.write_failures);
      return done;
    }
    // Wait for room, 10 ms at most: the write goes on as soon as the line
    // takes bytes again instead of a full 10 ms later, which would cap a
    // fast reader (a virtual instrument) at about a hundred packets a second.
    pollfd room{fd, POLLOUT, 0};
    if (poll(&room, 1, 10) < 0 && errno != EINTR) _SleepMilliseconds(10);
  }
  s_Port.stalled.store(false);
  return done;
}

}  // namespace

int _WriteCOMPort(int count, const unsigned char* bytes, bool /*flag*/) {
  if (g_hFile.load() == -1 || count < 0) return -1;
  std::shared_lock<std::shared_mutex> gate(s_Port.gate);
  const int fd = g_hFile.load();
  if (fd == -1) return -1;
  return WriteOn(fd, count, bytes);
}

int _WriteLine(int fd, int count, const unsigned char* bytes) {
  if (fd < 0 || count < 0) return -1;
  return WriteOn(fd, count, bytes);
}

int _DetachPort() {
  if (g_hFile.load() == -1) return -1;
  _WakeReaders();
  std::unique_lock<std::shared_mutex> gate(s_Port.gate);
  return g_hFile.exchange(-1);
}

}  // namespace orna
