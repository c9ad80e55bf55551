// Wire protocol: every message on the line in one table per direction, the
// byte images and senders of the host's messages, and the decoders of the
// inbound messages that need more than a first byte.
//
// There is no header, length field or checksum on the line: a message is
// recognised by its first byte and has a fixed length, so the tables below
// are all a reader needs to frame the stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orna {

struct MessageSpec {
  unsigned char first;  // the byte that begins the message
  int length;           // its fixed length, first byte included
  const char* name;
};

// ---- Instrument -> host ------------------------------------------------------
constexpr unsigned char kSeqErrorReport = 'S';
constexpr unsigned char kStatusMessage = '2';
constexpr unsigned char kVersionReport = '4';
constexpr unsigned char kNextPacketRequest = 'N';
// The AD reply (the marker and a big-endian value) normally goes to GetAD; one
// that comes too late for it reaches the receive thread, which drops it whole.
constexpr unsigned char kADReplyMarker = 0xAD;

inline constexpr MessageSpec kInbound[5] = {
    {kSeqErrorReport, 15, "sequence error report"},
    {kStatusMessage, 7, "status message"},
    {kVersionReport, 8, "version report"},
    {kNextPacketRequest, 2, "next-packet request"},
    {kADReplyMarker, 3, "AD reply"},
};

// Null when `first` begins no inbound message.
constexpr const MessageSpec* _InboundMessage(unsigned char first) {
  for (const MessageSpec& m : kInbound)
    if (m.first == first) return &m;
  return nullptr;
}

constexpr int kSeqErrorReportLength = _InboundMessage(kSeqErrorReport)->length;
constexpr int kStatusMessageLength = _InboundMessage(kStatusMessage)->length;
constexpr int kVersionReportLength = _InboundMessage(kVersionReport)->length;
constexpr int kNextPacketRequestLength = _InboundMessage(kNextPacketRequest)->length;
constexpr int kADReplyLength = _InboundMessage(kADReplyMarker)->length;

// ---- Host -> instrument ------------------------------------------------------
// Requests with a fixed image are named by the image; [0] is the first byte.
constexpr unsigned char kIdentifyProbe = 0x55;
constexpr unsigned char kLegacyIdentifyProbe = 0xAA;
constexpr unsigned char kHWInfoRequest[5] = {0x12, 0x55, 0xAA, 0x00, 0x00};
constexpr unsigned char kADRequest[4] = {0xAD, 0x00, 0x01, 0x00};
constexpr unsigned char kRelayCommand = 0x07;
constexpr unsigned char kRangeCommand = 0x00;
constexpr unsigned char kDCOffsetCommand = 0x05;
constexpr unsigned char kOffsetClearCommand = 0x06;
constexpr unsigned char kStopCommand = 'S';
constexpr unsigned char kCloseCommand = 'C';
// The first byte of a sample packet is the first frame's header byte.
constexpr unsigned char kSamplePacket = 0x01;
// The DC offset command with a code outside the range of offset codes.
constexpr unsigned char kBaselineResetCommand[3] = {kDCOffsetCommand, 0x80, 0x00};

inline constexpr MessageSpec kOutbound[11] = {
    {kIdentifyProbe, 1, "identify probe"},
    {kLegacyIdentifyProbe, 1, "legacy identify probe"},
    {kHWInfoRequest[0], sizeof kHWInfoRequest, "hardware information request"},
    {kADRequest[0], sizeof kADRequest, "AD request"},
    {kRelayCommand, 6, "relay command"},
    {kRangeCommand, 2, "range command"},
    {kDCOffsetCommand, 3, "DC offset command"},  // also the baseline reset command
    {kOffsetClearCommand, 1, "offset clear command"},
    {kStopCommand, 1, "stop command"},
    {kCloseCommand, 1, "close command"},
    {kSamplePacket, 3200, "sample packet"},
};

// Null when `first` begins no host message.
constexpr const MessageSpec* _OutboundMessage(unsigned char first) {
  for (const MessageSpec& m : kOutbound)
    if (m.first == first) return &m;
  return nullptr;
}

constexpr int kHWInfoRequestLength = _OutboundMessage(kHWInfoRequest[0])->length;
constexpr int kADRequestLength = _OutboundMessage(kADRequest[0])->length;
constexpr int kRelayCommandLength = _OutboundMessage(kRelayCommand)->length;
constexpr int kRangeCommandLength = _OutboundMessage(kRangeCommand)->length;
constexpr int kDCOffsetCommandLength = _OutboundMessage(kDCOffsetCommand)->length;
constexpr int kSamplePacketLength = _OutboundMessage(kSamplePacket)->length;
static_assert(sizeof kBaselineResetCommand == kDCOffsetCommandLength, "");

// Replies to the four requests: the wait after the write, in milliseconds,
// and the most bytes the one read takes. The AD reply has no read of its
// own: the receive thread frames it among the instrument's messages, from
// kADWaitMs after the request on, for 100 ms.
constexpr int kIdentifyWaitMs = 5;  // both probes
constexpr int kIdentifyReplyMax = 36;
constexpr int kHWInfoWaitMs = 20;
constexpr int kHWInfoBlockLength = 64;  // any other count is no block
constexpr int kADWaitMs = 10;

// Encoders (pure): fill `out` with the message and return its length.
int _EncodeRelayCommand(std::uint32_t word, unsigned char out[6]);
int _EncodeRangeCommand(double range, unsigned char out[2]);
int _DCOffsetCode(int mv);  // 2048 + trunc(mv / 1000 * 2000 + 0.5)
int _EncodeDCOffsetCommand(int mv, unsigned char out[3]);

// Senders: write the message when a port is open; the result is not examined.
void _SendRelayCommand(std::uint32_t word);
void _SendRangeCommand(double range);
void _SendDCOffsetCommand(int mv);
void _SendBaselineResetCommand();
void _SendOffsetClearCommand();
void _SendStopCommand();
void _SendCloseCommand();

// AD reply: the offset of the first marker that has two bytes after it among
// the n bytes, or -1 (also for n <= 2, a failed read included).
int _FindADReply(const unsigned char* bytes, int n);
// The big-endian value of the two bytes after the marker at `offset`.
int _ADReplyValue(const unsigned char* bytes, int offset);
// The AD value of a reply, 0 when it holds none.
int _ScanADReply(const unsigned char* reply, int n);

// Version comparison: the seven characters compared with "4000002" as strcmp
// does; true when equal or greater (the range values then become 5.0).
bool _VersionReportRaisesRange(const unsigned char seven[7]);

}  // namespace orna
