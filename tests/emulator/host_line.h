// The host's end of the virtual instrument's line, driven directly by a test
// (no library): a raw, non-blocking terminal like the one the library opens.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "emulator/virtual_instrument.h"

namespace orna::emu::testing {

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
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (n > 0) {
      ssize_t r = ::write(fd_, p, n);
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
  Bytes read_for(std::chrono::milliseconds window) {
    Bytes got;
    auto end = std::chrono::steady_clock::now() + window;
    while (std::chrono::steady_clock::now() < end) {
      if (!drain(got)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return got;
  }

  // Reads until at least n bytes arrived or `timeout` passed.
  Bytes read_n(std::size_t n, std::chrono::milliseconds timeout) {
    Bytes got;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
      if (!drain(got)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return got;
  }

 private:
  bool drain(Bytes& got) {
    std::uint8_t buf[512];
    bool any = false;
    for (;;) {
      ssize_t r = ::read(fd_, buf, sizeof buf);
      if (r <= 0) return any;
      got.insert(got.end(), buf, buf + r);
      any = true;
    }
  }

  int fd_ = -1;
};

// One sample word as the packet carries it.
struct Word {
  std::uint8_t b0;
  std::uint8_t b1;
};

// A sample packet built independently of the instrument: frame k carries the
// number first_seq + k, byte 322 is 'E', and `word(i)` gives sample i.
template <class WordOf>
Bytes MakePacket(std::uint8_t first_seq, WordOf word) {
  Bytes p(3200, 0x00);
  for (int k = 0; k < 50; ++k) {
    p[64 * k] = 0x01;
    p[64 * k + 1] = static_cast<std::uint8_t>(first_seq + k);
    for (int j = 0; j < 30; ++j) {
      Word w = word(k * 30 + j);
      p[64 * k + 4 + 2 * j] = w.b0;
      p[64 * k + 5 + 2 * j] = w.b1;
    }
  }
  p[322] = 'E';
  return p;
}

inline Bytes MidScalePacket(std::uint8_t first_seq) {
  return MakePacket(first_seq, [](int) { return Word{0x08, 0x00}; });
}

}  // namespace orna::emu::testing
