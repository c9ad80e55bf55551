// A connected virtual instrument and a readable log of what the library sent.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "emulator/virtual_instrument.h"
#include "orna.h"
#include "support/instrument_fixture.h"

namespace orna::control_test {

using namespace std::chrono_literals;
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

// The 12-bit code of sample i of a packet.
inline int Code(const emu::Bytes& packet, int i) {
  const std::uint8_t* w = &packet[(i / 30) * 64 + 4 + 2 * (i % 30)];
  return ((w[0] & 0x0F) << 8) | w[1];
}

class OnInstrument : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitORNA(), 1);
    vi.clear();
  }
  void TearDown() override { CloseORNA(); }

  // Waits until what the library wrote has arrived and the line is quiet.
  void Settle() {
    std::this_thread::sleep_for(30ms);
    vi.wait_quiet(50ms, 3s);
  }
  // Waits until the library has read and handled everything the instrument sent.
  void Handled() { ASSERT_TRUE(testing::WaitUntil([&] { return testing::LibraryHandledAll(vi.path()); }, 5s)); }
  // Everything sent since the last look (at least `at_least` messages); the
  // sample packets among it are kept in `packets`.
  Log Sent(std::size_t at_least = 0) {
    vi.wait_for_messages(at_least, 3s);
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
      ASSERT_TRUE(vi.wait_for_packets(before + i + 1, 3s));
    }
  }

  emu::VirtualInstrument vi;
  testing::ScanTarget target{vi.path()};
  std::vector<emu::Bytes> packets;
};

// Exactly these messages were sent since the last look, in this order.
#define EXPECT_SENT(...)                                 \
  do {                                                   \
    const ::orna::control_test::Log expected_ = __VA_ARGS__; \
    EXPECT_EQ(Sent(expected_.size()), expected_);       \
  } while (0)

}  // namespace orna::control_test
