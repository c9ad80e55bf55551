// Wire protocol: byte images of every host message, the senders of the one-way
// commands, and the two inbound decoders that need more than a first byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orna {

// First bytes and lengths of the host messages.
constexpr unsigned char kIdentifyProbe = 0x55;
constexpr unsigned char kLegacyIdentifyProbe = 0xAA;
constexpr unsigned char kHWInfoRequest[5] = {0x12, 0x55, 0xAA, 0x00, 0x00};
constexpr unsigned char kADRequest[4] = {0xAD, 0x00, 0x01, 0x00};
constexpr int kRelayCommandLength = 6;
constexpr int kRangeCommandLength = 2;
constexpr int kDCOffsetCommandLength = 3;

// Inbound message first bytes and lengths.
constexpr unsigned char kSeqErrorReport = 'S';  // 15 bytes
constexpr unsigned char kStatusMessage = '2';   // 7 bytes
constexpr unsigned char kVersionReport = '4';   // 8 bytes
constexpr unsigned char kNextPacketRequest = 'N';  // 2 bytes
// The AD reply (3 bytes: the marker and the value) normally goes to GetAD; one
// that comes too late for it reaches the receive thread, which drops it whole.
constexpr unsigned char kADReplyMarker = 0xAD;
constexpr int kADReplyLength = 3;

// Encoders (pure): fill `out` with the message and return its length.
int _EncodeRelayCommand(std::uint32_t word, unsigned char out[6]);
int _EncodeRangeCommand(double range, unsigned char out[2]);
int _DCOffsetCode(int mv);  // 2048 + trunc(mv / 1000 * 2000 + 0.5)
int _EncodeDCOffsetCommand(int mv, unsigned char out[3]);

// Senders: write the message when a port is open; the result is not examined.
void _SendRelayCommand(std::uint32_t word);
void _SendRangeCommand(double range);
void _SendDCOffsetCommand(int mv);
void _SendBaselineResetCommand();  // 0x05 0x80 0x00
void _SendOffsetClearCommand();    // 0x06
void _SendStopCommand();           // 'S'
void _SendCloseCommand();          // 'C'

// AD reply scan: the two bytes after the first 0xAD that has two bytes after
// it, as a big-endian value; 0 when there is none or n <= 2.
int _ScanADReply(const unsigned char* reply, int n);

// Version comparison: the seven characters compared with "4000002" as strcmp
// does; true when equal or greater (the range values then become 5.0).
bool _VersionReportRaisesRange(const unsigned char seven[7]);

}  // namespace orna
