// The library on a virtual instrument: the port scan pointed at chosen
// paths, whether the library has handled what the instrument sent, and the
// fixture of tests that read what the library sent as a log.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "emulator/virtual_instrument.h"
#include "link/discovery.h"
#include "orna.h"
#include "support/packets.h"
#include "support/process.h"
#include "support/wait.h"

namespace orna::test {

using namespace std::chrono_literals;

// Points the port scan at up to four paths (one, typically a virtual
// instrument's); the rest cannot be opened. Restores the real scan after.
class ScanPaths {
 public:
  explicit ScanPaths(const std::string& path) : ScanPaths(std::vector<std::string>{path}) {}
  explicit ScanPaths(std::vector<std::string> p) : p_(std::move(p)) {
    while (p_.size() < 4) p_.push_back("/nonexistent/ttyACM" + std::to_string(p_.size()));
    const char* paths[4] = {p_[0].c_str(), p_[1].c_str(), p_[2].c_str(), p_[3].c_str()};
    _SetPortPathsForTesting(paths);
  }
  ~ScanPaths() { _SetPortPathsForTesting(nullptr); }
  ScanPaths(const ScanPaths&) = delete;
  ScanPaths& operator=(const ScanPaths&) = delete;

 private:
  std::vector<std::string> p_;
};

// Whether bytes the instrument sent still wait on the host's side of the
// line at `path`. Polling a terminal first moves along what the system still
// holds on its way to it.
inline bool HostHasUnread(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  const bool unread = ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
  ::close(fd);
  return unread;
}

// Whether the library has read and handled everything the instrument at
// `path` sent: nothing waits on the line and the receive thread is back in
// its read (which it enters only after handling what it read before).
inline bool LibraryHandledAll(const std::string& path) {
  if (HostHasUnread(path)) return false;
  const pid_t rx = ReceiveThreadId();
  return rx != 0 && WaitingForDescriptor(rx);
}

// The kinds of the messages the instrument has received, in order.
inline std::vector<emu::Kind> Kinds(const emu::VirtualInstrument& vi) {
  std::vector<emu::Kind> k;
  for (const auto& m : vi.messages()) k.push_back(m.kind);
  return k;
}

using Log = std::vector<std::string>;

// A command in hex ("07 00 00 20 00 00"); a sample packet as "P" and the
// sequence number of its first frame ("P0").
inline std::string Describe(const emu::Bytes& bytes) {
  if (bytes.size() == 3200 && bytes[0] == 0x01) return "P" + std::to_string(bytes[1]);
  std::string text;
  char hex[4];
  for (auto b : bytes) {
    std::snprintf(hex, sizeof hex, "%s%02X", text.empty() ? "" : " ", b);
    text += hex;
  }
  return text;
}

// The library opened on a virtual instrument; what it sends is read as a log.
class OnInstrument : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitORNA(), 1);
    vi.clear();
  }
  void TearDown() override { CloseORNA(); }

  // Waits until what the library wrote has arrived and the line is quiet.
  void Settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    vi.wait_quiet(std::chrono::milliseconds(50), std::chrono::seconds(3));
  }
  // Waits until the library has read and handled everything the instrument sent.
  void Handled() {
    ASSERT_TRUE(WaitUntil([&] { return LibraryHandledAll(vi.path()); }, std::chrono::seconds(5)));
  }
  // Everything sent since the last look (at least `at_least` messages); the
  // sample packets among it are kept in `packets`.
  Log Sent(std::size_t at_least = 0) {
    vi.wait_for_messages(at_least, std::chrono::seconds(3));
    Settle();
    Log log;
    packets.clear();
    for (const auto& m : vi.messages()) {
      log.push_back(Describe(m.bytes));
      if (m.kind == emu::Kind::SamplePacket) packets.push_back(m.bytes);
    }
    vi.clear();
    return log;
  }
  // Asks for n packets, one after the other.
  void Request(int n) {
    Settle();
    const std::size_t before = vi.packet_count();
    for (int i = 0; i < n; ++i) {
      vi.send_next_request();
      ASSERT_TRUE(vi.wait_for_packets(before + i + 1, std::chrono::seconds(3)));
    }
  }

  // No version report: the library keeps its load-time ranges (4 mV in
  // variable mode), which these tests expect.
  emu::VirtualInstrument vi{emu::OldFirmware()};
  ScanPaths scan{vi.path()};
  std::vector<emu::Bytes> packets;
};

// Exactly these messages were sent since the last look, in this order.
#define EXPECT_SENT(...)                                 \
  do {                                                   \
    const ::orna::test::Log expected_ = __VA_ARGS__;     \
    EXPECT_EQ(Sent(expected_.size()), expected_);        \
  } while (0)

}  // namespace orna::test
