// The receive thread's parser fed arbitrary byte streams in arbitrary chunks,
// some of them as the bytes that come while an AD exchange waits for its reply. Checked: the buffer
// positions stay inside the buffer, at most two bytes are owed, and the result
// does not depend on how the stream was cut: every next-packet request and
// sequence error report of the whole stream is handled once, in the count a
// plain walk over the stream gives, and the range values change only for a
// version report of that walk. A late AD reply the thread reads (0xAD and its
// two value bytes) is dropped whole: its value bytes never start a message.
// A pass of the thread (_USBDataPoll) leaves no whole message in the buffer.
// Requests are counted through a stand-in for the packet sender: building
// packets would take nearly all of the time and is fuzzed elsewhere.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "control/instrument_messages.h"
#include "fuzz/fuzz_input.h"
#include "generator/packet_builder.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "link/receive_thread.h"
#include "orna.h"

using namespace orna;

namespace {

long g_packets = 0;
void CountPacket() { ++g_packets; }

ORNA_FUZZ_HARNESS void Check(bool ok) {
  if (!ok) std::abort();
}

ORNA_FUZZ_HARNESS void CheckBuffer() {
  Check(s_USBRxData <= s_DataBegin);
  Check(s_DataBegin <= s_DataEnd);
  Check(s_DataEnd <= s_USBRxData + kRxBufferSize);
  Check(s_OwedBytes >= 0 && s_OwedBytes <= 2);
}

void ParseAll() {
  while (_USBDataParse()) CheckBuffer();
  CheckBuffer();
}

// One pass of the thread, after which no whole message may wait in the buffer.
void Poll() {
  _USBDataPoll();
  CheckBuffer();
  Check(!_USBDataParse());
}

using orna::fuzz::Input;

// What the whole stream holds: the walk the parser makes, without chunks.
struct Expected {
  long requests = 0;
  long seqErrors = 0;
  bool rangeRaised = false;
  long pending = 0;  // bytes left at the end, waiting for the rest of a message
  long owed = 0;
  long adTail = 0;   // bytes of an AD reply cut off by the end (0: none)
};

constexpr std::uint8_t kADReply = 0xAD;

// The whole stream, as it reaches the parser. Never longer than the input.
struct Stream {
  std::vector<std::uint8_t> bytes;
  std::size_t size = 0;
  ORNA_FUZZ_HARNESS void Append(const std::uint8_t* p, std::size_t n) {
    std::memcpy(bytes.data() + size, p, n);
    size += n;
  }
};

ORNA_FUZZ_HARNESS Expected Walk(const Stream& stream) {
  Expected e;
  const std::uint8_t* s = stream.bytes.data();
  const long n = static_cast<long>(stream.size);
  long i = 0;
  while (i < n) {
    const std::uint8_t b = s[i];
    long need = 0, length = 0;
    if (b == 'S') need = 14, length = 15;
    else if (b == '2') need = 7, length = 7;
    else if (b == '4') need = 7, length = 8;
    else if (b == 'N') need = 1, length = 2;
    else if (b == kADReply) need = 3, length = 3;
    else {
      ++i;
      continue;
    }
    if (n - i < need) {
      e.pending = n - i;
      if (b == kADReply) e.adTail = n - i;
      return e;
    }
    if (b == 'S') ++e.seqErrors;
    if (b == 'N') ++e.requests;
    if (b == '4' && _VersionReportRaisesRange(s + i)) e.rangeRaised = true;
    i += length;
  }
  e.owed = i - n;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool once = [] {
    // Streaming without a port; requests reach the stand-in.
    Check(SetSpecialWave227(0) == 0);
    _SendNextPacketStandIn = CountPacket;
    LockGuard lock(s_lock);
    _InstallInstrumentHandlers();
    return true;
  }();
  (void)once;

  // Every input starts from an empty buffer and the same generator state.
  ParseAll();
  s_DataBegin = s_DataEnd = s_USBRxData;
  s_OwedBytes = 0;
  g_packets = 0;
  g_RangeV4Ch2On = 4.0;
  g_RangeV4Ch2Off = 5.0;
  const std::uint64_t seqErrorsBefore = s_SeqErrorCounter;

  static Stream stream;
  if (stream.bytes.size() < size) stream.bytes.resize(size);
  stream.size = 0;
  Input in{data, size};
  while (in.left > 0) {
    const std::uint8_t op = in.Byte();
    std::size_t length = in.Byte();
    if (length > in.left) length = in.left;
    const std::uint8_t* chunk = in.p;
    in.p += length;
    in.left -= length;

    if (op & 1) {
      // An AD exchange: the bytes after its request are framed like any
      // others, and an AD reply among them is its value, taken whole.
      if (length > 36) length = 36;
      ParseAll();
      const int owed = s_OwedBytes;
      // A reply fragment left waiting is dropped when the exchange begins:
      // it leaves the stream the walk sees too.
      const long pending = s_DataEnd - s_DataBegin;
      _ExpectADReplyForTesting();
      stream.size -= static_cast<std::size_t>(pending - (s_DataEnd - s_DataBegin));
      const std::uint64_t mark = _BytesAppended();
      stream.Append(chunk, length);
      Check(_USBDataAppend(chunk, static_cast<int>(length)) == static_cast<int>(length));
      ParseAll();
      int value = -1;
      std::uint64_t at = 0;
      if (_ADReplyForTesting(&value, &at)) {
        const std::size_t k = static_cast<std::size_t>(at - mark) +
                              std::min<std::size_t>(static_cast<std::size_t>(owed), length);
        Check(at >= mark && k + 2 < length && chunk[k] == kADReply);
        Check(value == chunk[k + 1] * 256 + chunk[k + 2]);
      }
      continue;
    }

    // Appended in reads of at most 128 bytes; `op` sets how many single
    // parses follow each read, so pending bytes can pile up and force
    // compactions and a full buffer, or whether a whole pass follows.
    stream.Append(chunk, length);
    const int passes = op >> 5;
    std::size_t off = 0;
    while (off < length) {
      std::size_t piece = length - off;
      if (piece > static_cast<std::size_t>(kRxReadSize)) piece = kRxReadSize;
      const int taken = _USBDataAppend(chunk + off, static_cast<int>(piece));
      Check(taken >= 0 && static_cast<std::size_t>(taken) <= piece);
      off += static_cast<std::size_t>(taken);
      CheckBuffer();
      if (op & 2) {
        Poll();
        continue;
      }
      for (int i = 0; i < passes; ++i) _USBDataParse();
      if (taken == 0) Check(_USBDataParse());
      CheckBuffer();
    }
  }
  ParseAll();

  const Expected e = Walk(stream);
  Check(g_packets == e.requests);
  Check(s_SeqErrorCounter - seqErrorsBefore == static_cast<std::uint64_t>(e.seqErrors));
  Check(g_RangeV4Ch2On == (e.rangeRaised ? 5.0 : 4.0) && g_RangeV4Ch2Off == 5.0);
  const long pending = s_DataEnd - s_DataBegin;
  if (e.adTail != 0 && pending == 0) {
    // A cut-off AD reply may be taken at once with the rest of it owed.
    Check(s_OwedBytes == 3 - e.adTail);
  } else {
    Check(pending == e.pending);
    Check(s_OwedBytes == e.owed);
  }
  return 0;
}
