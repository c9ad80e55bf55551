#include "emulator/host_parser.h"

namespace orna::emu {

Kind KindOf(std::uint8_t first) {
  switch (first) {
    case 0x55: return Kind::IdentifyProbe;
    case 0xAA: return Kind::LegacyProbe;
    case 0x12: return Kind::HWInfoRequest;
    case 0xAD: return Kind::ADRequest;
    case 0x07: return Kind::Relay;
    case 0x00: return Kind::Range;
    case 0x05: return Kind::DCOffset;
    case 0x06: return Kind::OffsetClear;
    case 'S': return Kind::Stop;
    case 'C': return Kind::Close;
    case 0x01: return Kind::SamplePacket;
    default: return Kind::Unknown;
  }
}

std::size_t LengthOf(Kind kind) {
  switch (kind) {
    case Kind::HWInfoRequest: return 5;
    case Kind::ADRequest: return 4;
    case Kind::Relay: return 6;
    case Kind::Range: return 2;
    case Kind::DCOffset: return 3;
    case Kind::SamplePacket: return 3200;
    default: return 1;
  }
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
