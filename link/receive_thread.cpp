// The receive thread: the only reader of the port. It buffers what the
// instrument sends, frames every complete instrument message in each pass and
// hands it up, and makes GetAD's exchanges one at a time.
#include "link/receive_thread.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "link/link_status.h"
#include "link/lock.h"
#include "link/protocol.h"
#include "link/realtime.h"
#include "link/serial_port.h"

namespace orna {

namespace {

thread_local bool t_OnReceiveThread = false;

// Bytes placed into the receive buffer since the process began: positions in
// the stream that survive compactions. Receive thread only.
std::uint64_t s_Appended = 0;

// Position in the stream of the first pending byte.
std::uint64_t StreamPosition(const unsigned char* p) {
  return s_Appended - static_cast<std::uint64_t>(s_DataEnd - p);
}

// The AD exchange in progress. Receive thread only.
struct Exchange {
  bool active = false;
  std::uint64_t ticket = 0;       // of the request it serves
  std::uint64_t mark = 0;         // the reply is a byte at or after this position
  std::chrono::steady_clock::time_point sent;
  bool found = false;
  int value = 0;
  std::uint64_t found_at = 0;
};
Exchange s_Exchange;

// The reply is looked for from kADWaitMs after the request on, for 100 ms.
constexpr auto kReplyWait = std::chrono::milliseconds(kADWaitMs);
constexpr auto kReplyDeadline = kReplyWait + std::chrono::milliseconds(100);
// The longest one exchange can take on the receive thread: its request write
// (bounded at about a second), its reply window, and a pass around them.
constexpr auto kExchangeBound = std::chrono::milliseconds(1500) + kReplyDeadline;

void JoinReceiveThread() {
  s_Receiver.stop.store(true);
  _WakeReaders();
  // The thread may be waiting for s_lock, which the caller may hold.
  s_lock.WakeWaiters();
  s_Receiver.thread.join();
}

// Waits for s_lock, giving up when the thread is asked to end: the closer
// holds the lock while it waits for this thread.
bool LockForHandling() {
  return s_lock.lock_unless([] { return s_Receiver.stop.load(); });
}

// A std::thread must not be destroyed while joinable, and the thread must not
// outlive the state it works on: it is joined when the process exits.
struct Reaper {
  ~Reaper() {
    const bool locked = s_lock.lock_unless([] { return false; }, std::chrono::seconds(1));
    if (s_Receiver.thread.joinable()) {
      if (t_OnReceiveThread) {
        s_Receiver.stop.store(true);
        s_Receiver.thread.detach();
      } else {
        JoinReceiveThread();
      }
    }
    if (locked) s_lock.unlock();
  }
};

void Consume(int length) {
  const int pending = static_cast<int>(s_DataEnd - s_DataBegin);
  if (pending >= length) {
    s_DataBegin += length;
  } else {
    // The rest of the message has not arrived yet: drop it when it does.
    s_DataBegin = s_DataEnd;
    s_OwedBytes = length - pending;
  }
}

// Takes into the buffer what already waits on the line, without waiting.
// Bounded: an instrument that never stops talking cannot hold the thread.
void TakeWaitingBytes() {
  unsigned char area[kRxReadSize];
  for (int total = 0; total < kRxBufferSize;) {
    const int n = _ReadCOMPortWithin(kRxReadSize, area, 0);
    if (n <= 0) break;
    _USBDataAppend(area, n);
    total += n;
  }
}

// A reply fragment still waiting when an exchange begins came before its
// request: it is dropped, so that the new reply is never joined to it.
void DropReplyFragment() {
  const long pending = s_DataEnd - s_DataBegin;
  if (pending > 0 && pending < kADReplyLength && *s_DataBegin == kADReplyMarker) {
    _CountLink(s_Link.bytes_dropped, static_cast<unsigned long long>(pending));
    s_DataBegin = s_DataEnd;
  }
}

// Writes the AD request with s_lock held (every write to the port is made
// under it); false when it did not go out whole.
bool SendADRequest() {
  return _WriteCOMPort(kADRequestLength, kADRequest) == kADRequestLength;
}

// Ends the exchange in progress with `value` and wakes its caller (unless it
// has given up waiting).
void EndExchange(int value) {
  s_Exchange.active = false;
  {
    std::lock_guard<std::mutex> guard(s_Receiver.ad_lock);
    ADRequest* first = s_Receiver.ad_first;
    if (first == nullptr || first->ticket != s_Exchange.ticket) return;
    first->value = value;
    first->done = true;
    s_Receiver.ad_first = first->next;
    if (s_Receiver.ad_first == nullptr) s_Receiver.ad_last = nullptr;
  }
  s_Receiver.ad_done.notify_all();
}

// Starts the exchange at the front of the queue, if any. What already waits
// on the line came before the request: it is taken and handled first, so
// that neither a stale fragment joins the reply nor a request waits.
void BeginExchange() {
  {
    std::lock_guard<std::mutex> guard(s_Receiver.ad_lock);
    if (s_Receiver.ad_first == nullptr) return;
    s_Exchange.ticket = s_Receiver.ad_first->ticket;
  }
  TakeWaitingBytes();
  while (_USBDataParse()) {
    if (s_Receiver.stop.load()) return;
  }
  DropReplyFragment();
  s_Exchange.active = true;
  s_Exchange.found = false;
  s_Exchange.mark = s_Appended;
  bool sent = false;
  if (LockForHandling()) {
    LockGuard lock(s_lock, std::adopt_lock);
    sent = SendADRequest();
  }
  s_Exchange.sent = std::chrono::steady_clock::now();
  if (!sent) EndExchange(0);
}

// Ends the exchange once its reply is in and the wait before looking for it
// has passed, or once the reply window has closed without one.
void EndExchangeWhenDue() {
  const auto since = std::chrono::steady_clock::now() - s_Exchange.sent;
  if (s_Exchange.found && since >= kReplyWait) {
    EndExchange(s_Exchange.value);
  } else if (since >= kReplyDeadline) {
    EndExchange(0);
  }
}

// How long the pass may wait for bytes: up to the exchange's next moment.
long ReadWaitMicroseconds() {
  constexpr long kPassWait = 100000;
  if (!s_Exchange.active) return kPassWait;
  const auto due = s_Exchange.sent + (s_Exchange.found ? kReplyWait : kReplyDeadline);
  const long left = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          due - std::chrono::steady_clock::now())
                                          .count());
  return left < 0 ? 0 : (left > kPassWait ? kPassWait : left);
}

bool ExchangeAsked() {
  std::lock_guard<std::mutex> guard(s_Receiver.ad_lock);
  return s_Receiver.ad_first != nullptr;
}

// Opens the queue to GetAD callers, or closes it and releases every caller
// still waiting (its exchange will never be made).
void ServeADRequests(bool serving) {
  {
    std::lock_guard<std::mutex> guard(s_Receiver.ad_lock);
    s_Receiver.ad_serving = serving;
    if (!serving) {
      for (ADRequest* r = s_Receiver.ad_first; r != nullptr; r = r->next) {
        r->value = 0;
        r->done = true;
      }
      s_Receiver.ad_first = s_Receiver.ad_last = nullptr;
    }
  }
  s_Exchange.active = false;
  s_Receiver.ad_done.notify_all();
}

// The first AD reply framed at or after stream position `mark` among the
// pending bytes (the message being handled at the front included), or null.
unsigned char* FramedReplyAfter(std::uint64_t mark) {
  unsigned char* p = s_DataBegin;
  while (p < s_DataEnd) {
    const MessageSpec* m = _InboundMessage(*p);
    if (m == nullptr) {
      ++p;
      continue;
    }
    const std::uint64_t at = StreamPosition(p);
    if (*p == kADReplyMarker && at < mark && at + kADReplyLength > mark) {
      // A fragment from before the request: not part of the reply.
      if (s_Appended <= mark) return nullptr;
      p += mark - at;
      continue;
    }
    if (s_DataEnd - p < m->length) return nullptr;
    if (*p == kADReplyMarker && at >= mark) return p;
    p += m->length;
  }
  return nullptr;
}

}  // namespace

int _USBDataAppend(const unsigned char* bytes, int n) {
  if (n <= 0) return 0;
  int taken = 0;
  if (s_OwedBytes > 0) {
    const int drop = s_OwedBytes < n ? s_OwedBytes : n;
    s_OwedBytes -= drop;
    bytes += drop;
    n -= drop;
    taken = drop;
  }
  if (n == 0) return taken;
  unsigned char* const limit = s_USBRxData + kRxBufferSize;
  if (n > limit - s_DataEnd) {
    const int pending = static_cast<int>(s_DataEnd - s_DataBegin);
    // Front to back: the target lies before the source.
    for (int i = 0; i < pending; ++i) s_USBRxData[i] = s_DataBegin[i];
    s_DataBegin = s_USBRxData;
    s_DataEnd = s_USBRxData + pending;
    // Never past the end of the buffer: the caller keeps what did not fit.
    if (n > limit - s_DataEnd) n = static_cast<int>(limit - s_DataEnd);
  }
  std::memcpy(s_DataEnd, bytes, static_cast<std::size_t>(n));
  s_DataEnd += n;
  s_Appended += static_cast<std::uint64_t>(n);
  return taken + n;
}

bool _USBDataParse() {
  // A byte that begins no message would hold back everything behind it:
  // drop it.
  const unsigned char* const dropped_from = s_DataBegin;
  while (s_DataBegin < s_DataEnd && _InboundMessage(*s_DataBegin) == nullptr) ++s_DataBegin;
  if (s_DataBegin != dropped_from) {
    _CountLink(s_Link.bytes_dropped, static_cast<unsigned long long>(s_DataBegin - dropped_from));
  }
  if (s_DataBegin == s_DataEnd) return false;

  const int pending = static_cast<int>(s_DataEnd - s_DataBegin);
  const unsigned char first = *s_DataBegin;
  if (first == kADReplyMarker) {
    // Taken whole once its value bytes are there (they would otherwise be
    // taken for message starts: a stray 'S' swallowing requests, a '4'
    // raising the range). The reply of the exchange in progress when it came
    // after the request; a late one is dropped.
    const std::uint64_t at = StreamPosition(s_DataBegin);
    if (pending < kADReplyLength) return false;
    if (s_Exchange.active && !s_Exchange.found && at >= s_Exchange.mark) {
      s_Exchange.found = true;
      s_Exchange.value = _ADReplyValue(s_DataBegin, 0);
      s_Exchange.found_at = at;
    }
    s_DataBegin += kADReplyLength;
    return true;
  }
  // A message is handled once no more than its last byte is missing (that
  // byte is dropped when it comes); a status message only when it is whole.
  const int length = _InboundMessage(first)->length;
  if (pending < (first == kStatusMessage ? length : length - 1)) return false;

  if (!LockForHandling()) return false;
  {
    LockGuard lock(s_lock, std::adopt_lock);
    // The link's own counts first, then the upper layer.
    if (first == kSeqErrorReport) {
      ++s_SeqErrorCounter;
      _CountLink(s_Link.sequence_errors);
    } else if (first == kNextPacketRequest) {
      _CountLink(s_Link.requests);
    }
    if (s_Receiver.handler != nullptr) {
      s_Receiver.handler(first, s_DataBegin, pending < length ? pending : length);
    }
  }
  Consume(length);
  return true;
}

void _USBDataPoll() {
  // The wake count first: a GetAD that queues its request after the test
  // below wakes the read instead of waiting for its timeout.
  const unsigned generation = _WakeGeneration();
  if (!s_Exchange.active && ExchangeAsked()) BeginExchange();
  // Only as many bytes as the buffer can take after a compaction; the rest
  // waits in the system's buffer.
  int want = kRxBufferSize - static_cast<int>(s_DataEnd - s_DataBegin);
  if (want > kRxReadSize) want = kRxReadSize;
  if (want > 0) {
    unsigned char area[kRxReadSize];
    const int n = _ReadCOMPortUnlessWokenWithin(want, area, generation, ReadWaitMicroseconds());
    if (n > 0) _USBDataAppend(area, n);
  }
  // Everything complete is handled before the thread sleeps: one message a
  // pass would let a burst of them hold back the requests behind it.
  while (_USBDataParse()) {
    if (s_Receiver.stop.load()) break;
  }
  if (s_Exchange.active) EndExchangeWhenDue();
}

void* iDataPoolThreadRoutine(void* /*argument*/) {
  if (g_hFile.load() == -1) return nullptr;
  for (;;) {
    _USBDataPoll();
    if (s_Receiver.stop.load()) break;
    // The device went away: the connection ends here (no use polling a dead line).
    if (_PortGone()) {
      if (LockForHandling()) {
        LockGuard lock(s_lock, std::adopt_lock);
        _LinkLost();
      }
      break;
    }
    // An exchange waits in the pass's read instead, so that its reply and
    // the requests around it are taken as they come; the next one asked for
    // starts at once.
    if (!s_Exchange.active && !ExchangeAsked()) _SleepMilliseconds(10);
    if (g_hFile.load() == -1 || s_Receiver.stop.load()) break;
  }
  return nullptr;
}

void _InstallMessageHandler(MessageHandler handler) { s_Receiver.handler = handler; }

void _InstallLinkLostHook(LinkLostHook hook) { s_Receiver.lost_hook = hook; }

bool _StartReceiveThread() {
  if (s_Receiver.thread.joinable()) {
    if (t_OnReceiveThread) return false;
    JoinReceiveThread();
  }
  static Reaper reaper;
  s_Receiver.stop.store(false);
  ServeADRequests(true);
  try {
    s_Receiver.thread = std::thread([] {
      t_OnReceiveThread = true;
      _PrepareReceiveThread();
      iDataPoolThreadRoutine(nullptr);
      ServeADRequests(false);
    });
  } catch (...) {
    ServeADRequests(false);
    return false;
  }
  return true;
}

void _StopReceiveThread() {
  s_Receiver.stop.store(true);
  if (t_OnReceiveThread || !s_Receiver.thread.joinable()) return;
  JoinReceiveThread();
}

bool _OnReceiveThread() { return t_OnReceiveThread; }

bool _ReceiveThreadRunning() { return s_Receiver.thread.joinable(); }

bool _QueueADRequest(ADRequest* request) {
  {
    std::lock_guard<std::mutex> guard(s_Receiver.ad_lock);
    if (!s_Receiver.ad_serving) return false;
    request->ticket = ++s_Receiver.ad_tickets;
    request->next = nullptr;
    request->done = false;
    if (s_Receiver.ad_last != nullptr) {
      s_Receiver.ad_last->next = request;
    } else {
      s_Receiver.ad_first = request;
    }
    s_Receiver.ad_last = request;
  }
  // The receive thread may be waiting in its read.
  _WakeReaders();
  return true;
}

int _AwaitADReply(ADRequest* request) {
  std::unique_lock<std::mutex> guard(s_Receiver.ad_lock);
  std::uint64_t ahead = 0;
  for (ADRequest* r = s_Receiver.ad_first; r != nullptr && r != request; r = r->next) ++ahead;
  const auto limit = kExchangeBound * static_cast<long>(ahead + 1);
  if (s_Receiver.ad_done.wait_for(guard, limit, [request] { return request->done; })) {
    return request->value;
  }
  // Given up: out of the queue, so that nothing is written to it later.
  ADRequest** link = &s_Receiver.ad_first;
  ADRequest* previous = nullptr;
  while (*link != nullptr && *link != request) {
    previous = *link;
    link = &(*link)->next;
  }
  if (*link == request) {
    *link = request->next;
    if (s_Receiver.ad_last == request) s_Receiver.ad_last = previous;
  }
  return 0;
}

int _ADExchangeHere() {
  // A callback on this thread, with a message being handled: the passes
  // cannot run, so the reply is taken straight from the buffer and every
  // other byte is left for them.
  TakeWaitingBytes();
  const std::uint64_t mark = s_Appended;
  if (!SendADRequest()) return 0;
  _SleepMilliseconds(kADWaitMs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  for (;;) {
    if (unsigned char* reply = FramedReplyAfter(mark)) {
      const int value = _ADReplyValue(reply, 0);
      std::memmove(reply, reply + kADReplyLength,
                   static_cast<std::size_t>(s_DataEnd - reply - kADReplyLength));
      s_DataEnd -= kADReplyLength;
      s_Appended -= kADReplyLength;
      return value;
    }
    const long left = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
    if (left <= 0) return 0;
    unsigned char area[kRxReadSize];
    int want = kRxBufferSize - static_cast<int>(s_DataEnd - s_DataBegin);
    if (want > kRxReadSize) want = kRxReadSize;
    if (want <= 0) return 0;
    const int n = _ReadCOMPortWithin(want, area, left);
    if (n <= 0) return 0;
    _USBDataAppend(area, n);
  }
}

void _ExpectADReplyForTesting() {
  DropReplyFragment();
  s_Exchange = Exchange{};
  s_Exchange.active = true;
  s_Exchange.mark = s_Appended;
}

bool _ADReplyForTesting(int* value, std::uint64_t* position) {
  if (!s_Exchange.found) return false;
  *value = s_Exchange.value;
  *position = s_Exchange.found_at;
  return true;
}

std::uint64_t _BytesAppended() { return s_Appended; }

}  // namespace orna
