// Wire protocol: byte images of the host's messages, their senders, and the
// decoders of the AD reply and the version report.
#include "link/protocol.h"

#include <cmath>
#include <cstring>

#include "link/serial_port.h"

namespace orna {

namespace {

// A reader frames the stream by first byte alone: within a direction no two
// messages may begin alike.
constexpr bool FirstBytesDistinct(const MessageSpec* table, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j)
      if (table[i].first == table[j].first) return false;
  return true;
}
static_assert(FirstBytesDistinct(kInbound, sizeof kInbound / sizeof kInbound[0]), "");
static_assert(FirstBytesDistinct(kOutbound, sizeof kOutbound / sizeof kOutbound[0]), "");
static_assert(_OutboundMessage(kIdentifyProbe)->length == 1 &&
                  _OutboundMessage(kLegacyIdentifyProbe)->length == 1 &&
                  _OutboundMessage(kOffsetClearCommand)->length == 1 &&
                  _OutboundMessage(kStopCommand)->length == 1 &&
                  _OutboundMessage(kCloseCommand)->length == 1,
              "the single-byte senders write their first byte alone");

// The value truncated toward zero, as its low 32 bits in two's complement;
// 0 when it is not finite. Done in floating point: converting a huge or
// non-finite double to an integer type is undefined. fmod is exact, so every
// step is.
std::uint32_t TruncatedLowBits(double v) {
  if (!std::isfinite(v)) return 0;
  constexpr double kWrap = 4294967296.0;
  double r = std::fmod(std::trunc(v), kWrap);
  if (r < 0) r += kWrap;
  return static_cast<std::uint32_t>(r);
}

}  // namespace

int _EncodeRelayCommand(std::uint32_t word, unsigned char out[6]) {
  out[0] = kRelayCommand;
  out[1] = static_cast<unsigned char>((word >> 16) & 0xFF);
  out[2] = static_cast<unsigned char>((word >> 8) & 0xFF);
  out[3] = static_cast<unsigned char>(word & 0xFF);
  out[4] = 0x00;
  out[5] = 0x00;
  return kRelayCommandLength;
}

int _EncodeRangeCommand(double range, unsigned char out[2]) {
  // The range is an exported variable the host may set to anything: a
  // non-finite one sends 0.
  out[0] = kRangeCommand;
  out[1] = static_cast<unsigned char>(TruncatedLowBits(range) & 0xFF);
  return kRangeCommandLength;
}

int _DCOffsetCode(int mv) {
  // Only the low 16 bits travel; offsets far outside the settable range
  // wrap rather than overflow.
  const double scaled = static_cast<double>(mv) / 1000 * 2000 + 0.5;
  return static_cast<int>(2048u + TruncatedLowBits(scaled));
}

int _EncodeDCOffsetCommand(int mv, unsigned char out[3]) {
  const int code = _DCOffsetCode(mv);
  out[0] = kDCOffsetCommand;
  out[1] = static_cast<unsigned char>((code >> 8) & 0xFF);
  out[2] = static_cast<unsigned char>(code & 0xFF);
  return kDCOffsetCommandLength;
}

namespace {

void Send(const unsigned char* bytes, int n) {
  if (g_hFile.load() == -1) return;
  _WriteCOMPort(n, bytes);
}

void SendByte(unsigned char first) { Send(&first, 1); }

}  // namespace

void _SendRelayCommand(std::uint32_t word) {
  unsigned char m[kRelayCommandLength];
  Send(m, _EncodeRelayCommand(word, m));
}

void _SendRangeCommand(double range) {
  unsigned char m[kRangeCommandLength];
  Send(m, _EncodeRangeCommand(range, m));
}

void _SendDCOffsetCommand(int mv) {
  unsigned char m[kDCOffsetCommandLength];
  Send(m, _EncodeDCOffsetCommand(mv, m));
}

void _SendBaselineResetCommand() { Send(kBaselineResetCommand, kDCOffsetCommandLength); }
void _SendOffsetClearCommand() { SendByte(kOffsetClearCommand); }
void _SendStopCommand() { SendByte(kStopCommand); }
void _SendCloseCommand() { SendByte(kCloseCommand); }

int _FindADReply(const unsigned char* bytes, int n) {
  for (int k = 0; k + kADReplyLength <= n; ++k) {
    if (bytes[k] == kADReplyMarker) return k;
  }
  return -1;
}

int _ADReplyValue(const unsigned char* bytes, int offset) {
  return bytes[offset + 1] * 256 + bytes[offset + 2];
}

int _ScanADReply(const unsigned char* reply, int n) {
  const int k = _FindADReply(reply, n);
  return k < 0 ? 0 : _ADReplyValue(reply, k);
}

bool _VersionReportRaisesRange(const unsigned char seven[7]) {
  char text[8];
  std::memcpy(text, seven, 7);
  text[7] = '\0';
  // strcmp compares as unsigned char, so a byte above 0x7F ranks high.
  return std::strcmp(text, "4000002") >= 0;
}

}  // namespace orna
