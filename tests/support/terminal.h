// The two ends of a line that a test drives itself: a bare pseudo-terminal on
// which the test plays the instrument (Pty), and the host's end of the
// virtual instrument's line (HostLine), with no library in between.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "emulator/virtual_instrument.h"

namespace orna::test {

using Bytes = emu::Bytes;

// Appends everything readable now from the non-blocking `fd`; false if nothing was.
inline bool DrainInto(int fd, Bytes& got) {
  std::uint8_t buf[4096];
  bool any = false;
  for (ssize_t r; (r = ::read(fd, buf, sizeof buf)) > 0; any = true) got.insert(got.end(), buf, buf + r);
  return any;
}

// Reads from the non-blocking `fd` until `window` has passed, or earlier once
// at least `enough` bytes arrived.
inline Bytes ReadFor(int fd, std::chrono::milliseconds window, std::size_t enough = SIZE_MAX) {
  Bytes got;
  for (const auto end = std::chrono::steady_clock::now() + window;
       got.size() < enough && std::chrono::steady_clock::now() < end;)
    if (!DrainInto(fd, got)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return got;
}

// A pseudo-terminal whose slave keeps the system's default settings until the
// library opens it; the test plays the instrument on the master side.
class Pty {
 public:
  Pty() {
    char name[128] = {};
    if (grantpt(master) == 0 && unlockpt(master) == 0 && ptsname_r(master, name, sizeof name) == 0)
      path = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() { ::close(master); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  void send(const Bytes& b) { (void)!::write(master, b.data(), b.size()); }
  Bytes read_for(std::chrono::milliseconds window) { return ReadFor(master, window); }

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  std::string path;
};

// The host's end of the virtual instrument's line: a raw, non-blocking
// terminal like the one the library opens.
class HostLine {
 public:
  explicit HostLine(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    termios t;
    if (tcgetattr(fd_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~HostLine() { close(); }
  HostLine(const HostLine&) = delete;
  HostLine& operator=(const HostLine&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Writes every byte, waiting while the line is full; false on an error.
  bool write(const Bytes& bytes) { return write(bytes.data(), bytes.size()); }
  bool write(const std::uint8_t* p, std::size_t n) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (n > 0) {
      const ssize_t r = ::write(fd_, p, n);
      if (r > 0) {
        p += r;
        n -= static_cast<std::size_t>(r);
      } else if (r < 0 && errno == EAGAIN && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      } else {
        return false;
      }
    }
    return true;
  }

  // Everything that arrives within `window`.
  Bytes read_for(std::chrono::milliseconds window) { return ReadFor(fd_, window); }
  // Reads until at least n bytes arrived or `timeout` passed.
  Bytes read_n(std::size_t n, std::chrono::milliseconds timeout) { return ReadFor(fd_, timeout, n); }

 private:
  int fd_ = -1;
};

}  // namespace orna::test
