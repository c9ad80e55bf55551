#include "emulator/host_parser.h"

#include "link/protocol.h"

namespace orna::emu {

namespace {

struct KindByte {
  Kind kind;
  std::uint8_t first;
};

// The library's table of host messages gives the lengths; this one only
// names them for the instrument.
constexpr KindByte kKinds[] = {
    {Kind::IdentifyProbe, kIdentifyProbe},
    {Kind::LegacyProbe, kLegacyIdentifyProbe},
    {Kind::HWInfoRequest, kHWInfoRequest[0]},
    {Kind::ADRequest, kADRequest[0]},
    {Kind::Relay, kRelayCommand},
    {Kind::Range, kRangeCommand},
    {Kind::DCOffset, kDCOffsetCommand},
    {Kind::OffsetClear, kOffsetClearCommand},
    {Kind::Stop, kStopCommand},
    {Kind::Close, kCloseCommand},
    {Kind::SamplePacket, kSamplePacket},
};
static_assert(sizeof kKinds / sizeof kKinds[0] == sizeof kOutbound / sizeof kOutbound[0],
              "every host message has a kind");

}  // namespace

Kind KindOf(std::uint8_t first) {
  for (const KindByte& k : kKinds)
    if (k.first == first) return k.kind;
  return Kind::Unknown;
}

std::size_t LengthOf(Kind kind) {
  for (const KindByte& k : kKinds)
    if (k.kind == kind) return static_cast<std::size_t>(_OutboundMessage(k.first)->length);
  return 1;  // a byte that begins no message goes alone
}

std::vector<std::pair<Kind, Bytes>> HostParser::feed(const std::uint8_t* data, std::size_t n) {
  buf_.insert(buf_.end(), data, data + n);
  std::vector<std::pair<Kind, Bytes>> out;
  std::size_t pos = 0;
  while (pos < buf_.size()) {
    Kind kind = KindOf(buf_[pos]);
    std::size_t len = LengthOf(kind);
    if (buf_.size() - pos < len) break;  // wait for the rest
    out.emplace_back(kind, Bytes(buf_.begin() + pos, buf_.begin() + pos + len));
    pos += len;
  }
  buf_.erase(buf_.begin(), buf_.begin() + pos);
  return out;
}

}  // namespace orna::emu
