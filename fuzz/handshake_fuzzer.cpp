// The handshake fed arbitrary replies: identity, legacy identity, hardware
// information block and AD reply, each of a length taken from the input
// (negative lengths stand for a read that timed out). Checked: the decisions
// follow the reply's bytes, the texts stay within their bounds and match the
// block, and nothing is read beyond the bytes received.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "link/discovery.h"
#include "link/protocol.h"
#include "link/receive_thread.h"

using namespace orna;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Input : orna::fuzz::Input {
  // A reply of up to `max` bytes in a buffer of exactly the bytes received,
  // so the address sanitizer sees any read past them. -1: nothing came.
  int Reply(std::vector<std::uint8_t>& out, int max) {
    const int n = static_cast<int>(Byte() % (max + 2)) - 1;
    out.clear();
    for (int i = 0; i < n; ++i) out.push_back(Byte());
    return n;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{{data, size}};
  std::vector<std::uint8_t> reply;

  int n = in.Reply(reply, 36);
  IdentityTexts texts = _SaveIdentity();
  const bool named = _TakeIdentifyReply(reply.data(), n, texts);
  _CommitIdentity(texts);
  Check(named == (n > 3));
  if (named) {
    const std::size_t len = std::strlen(g_SerialNo);
    Check(len <= static_cast<std::size_t>(n));
    Check(std::memcmp(g_SerialNo, reply.data(), len) == 0);
    Check(len == static_cast<std::size_t>(n) || reply[len] == 0);
  } else {
    n = in.Reply(reply, 36);
    const bool legacy = _TakeLegacyReply(reply.data(), n, texts);
    _CommitIdentity(texts);
    Check(legacy == (n >= 4 && std::memcmp(reply.data(), "ORN", 3) == 0));
    if (legacy) Check(std::strcmp(g_SerialNo, "TALVEN ORNA") == 0);
  }

  n = in.Reply(reply, 64);
  unsigned char block[64];
  std::memset(block, 0xEE, sizeof block);
  if (n > 0) std::memcpy(block, reply.data(), static_cast<std::size_t>(n));
  const HWInfoReply outcome = _TakeHWInfoReply(block, n, texts);
  _CommitIdentity(texts);
  if (n != 64) {
    Check(outcome == HWInfoReply::Cleared);
    Check(g_HWInfo == nullptr && g_FWVer == nullptr && g_HWVer == nullptr);
  } else if (block[6] != 'O' || (block[7] != 'R' && block[7] != 'Q')) {
    Check(outcome == HWInfoReply::Rejected);
  } else {
    Check(outcome == HWInfoReply::Accepted);
    Check(g_HWInfo != nullptr && std::strncmp(g_HWInfo, "WO", 2) == 0);
    Check(std::strlen(g_HWInfo) < 32);
    int major = -1, minor = -1;
    Check(std::sscanf(g_FWVer, "%d.%d", &major, &minor) == 2);
    Check(major == block[14] && minor == block[15]);
    Check(std::sscanf(g_HWVer, "%d.%d", &major, &minor) == 2);
    Check(major == block[13] / 10 && minor == block[13] % 10);
  }

  n = in.Reply(reply, 36);
  const int value = _ScanADReply(reply.data(), n);
  Check(value >= 0 && value <= 65535);
  int expected = 0;
  for (int k = 0; k + 2 < n; ++k) {
    if (reply[static_cast<std::size_t>(k)] == 0xAD) {
      expected = reply[static_cast<std::size_t>(k) + 1] * 256 + reply[static_cast<std::size_t>(k) + 2];
      break;
    }
  }
  Check(value == expected);
  return 0;
}
