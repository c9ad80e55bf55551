// Wire protocol: byte images of the host's messages, their senders, and the
// decoders of the AD reply and the version report.
#include "link/protocol.h"

#include <cmath>
#include <cstring>

#include "link/serial_port.h"

namespace orna {

int _EncodeRelayCommand(std::uint32_t word, unsigned char out[6]) {
  out[0] = 0x07;
  out[1] = static_cast<unsigned char>((word >> 16) & 0xFF);
  out[2] = static_cast<unsigned char>((word >> 8) & 0xFF);
  out[3] = static_cast<unsigned char>(word & 0xFF);
  out[4] = 0x00;
  out[5] = 0x00;
  return kRelayCommandLength;
}

int _EncodeRangeCommand(double range, unsigned char out[2]) {
  out[0] = 0x00;
  // The low 8 bits of the value truncated toward zero. The range is an
  // exported variable the host may set to anything, so the reduction is done
  // in floating point: converting a huge or non-finite double to an integer
  // type is undefined. A non-finite range sends 0.
  unsigned char low = 0;
  if (std::isfinite(range)) {
    double r = std::fmod(std::trunc(range), 256.0);
    if (r < 0) r += 256.0;
    low = static_cast<unsigned char>(static_cast<int>(r));
  }
  out[1] = low;
  return kRangeCommandLength;
}

int _DCOffsetCode(int mv) {
  const double scaled = std::trunc(static_cast<double>(mv) / 1000 * 2000 + 0.5);
  // Through a wider type: offsets far outside the settable range must not
  // overflow the conversion.
  return static_cast<int>(2048 + static_cast<long long>(scaled));
}

int _EncodeDCOffsetCommand(int mv, unsigned char out[3]) {
  const int code = _DCOffsetCode(mv);
  out[0] = 0x05;
  out[1] = static_cast<unsigned char>((code >> 8) & 0xFF);
  out[2] = static_cast<unsigned char>(code & 0xFF);
  return kDCOffsetCommandLength;
}

namespace {

void Send(const unsigned char* bytes, int n) {
  if (g_hFile.load() == -1) return;
  _WriteCOMPort(n, bytes);
}

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

void _SendBaselineResetCommand() {
  static const unsigned char m[3] = {0x05, 0x80, 0x00};
  Send(m, 3);
}

void _SendOffsetClearCommand() {
  static const unsigned char m[1] = {0x06};
  Send(m, 1);
}

void _SendStopCommand() {
  static const unsigned char m[1] = {'S'};
  Send(m, 1);
}

void _SendCloseCommand() {
  static const unsigned char m[1] = {'C'};
  Send(m, 1);
}

int _ScanADReply(const unsigned char* reply, int n) {
  if (n <= 2) return 0;
  for (int k = 0; k + 2 < n; ++k) {
    if (reply[k] == 0xAD) return reply[k + 1] * 256 + reply[k + 2];
  }
  return 0;
}

bool _VersionReportRaisesRange(const unsigned char seven[7]) {
  char text[8];
  std::memcpy(text, seven, 7);
  text[7] = '\0';
  // strcmp compares as unsigned char, so a byte above 0x7F ranks high.
  return std::strcmp(text, "4000002") >= 0;
}

}  // namespace orna
