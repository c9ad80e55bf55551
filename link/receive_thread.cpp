// The receive thread: polls the port, buffers what the instrument sends, and
// in each pass frames every complete instrument message and hands it up.
#include "link/receive_thread.h"

#include <chrono>
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

void JoinReceiveThread() {
  s_Receiver.stop.store(true);
  _WakeReaders();
  s_Receiver.thread.join();
}

// Waits at most `limit` for s_lock: tries, and sleeps briefly between tries.
// The same in every build: a timed wait on the mutex would end sooner after an
// unlock, but the thread sanitizer does not see such a wait, and a build that
// waits differently under test is not the build that was tested. A host call
// rarely holds the lock when a message comes; when one does, the sleep adds
// at most a few tens of microseconds to an answer due within milliseconds.
// The thread sleeps rather than yields: at real-time priority a yield would
// keep the holder of the lock off a shared processor.
bool TryLockFor(std::chrono::microseconds limit) {
  if (s_lock.try_lock()) return true;
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (s_lock.try_lock()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
  }
}

// Waits for s_lock, giving up when the thread is asked to end: the closer
// holds the lock while it waits for this thread.
bool LockForHandling() {
  while (!TryLockFor(std::chrono::milliseconds(5))) {
    if (s_Receiver.stop.load()) return false;
  }
  return true;
}

// A std::thread must not be destroyed while joinable, and the thread must not
// outlive the state it works on: it is joined when the process exits.
struct Reaper {
  ~Reaper() {
    const bool locked = TryLockFor(std::chrono::seconds(1));
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

void TakeHandback() {
  std::lock_guard<std::mutex> guard(s_Port.handback_lock);
  if (s_Port.handback_count == 0) return;
  // Copying into the receive buffer is all that happens under the lock.
  const int taken = _USBDataAppend(s_Port.handback, s_Port.handback_count);
  std::memmove(s_Port.handback, s_Port.handback + taken,
               static_cast<std::size_t>(s_Port.handback_count - taken));
  s_Port.handback_count -= taken;
}

void HandBack(const unsigned char* bytes, int n) {
  if (n <= 0) return;
  std::lock_guard<std::mutex> guard(s_Port.handback_lock);
  const int room = kRxBufferSize - s_Port.handback_count;
  if (n > room) n = room;
  std::memcpy(s_Port.handback + s_Port.handback_count, bytes, static_cast<std::size_t>(n));
  s_Port.handback_count += n;
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
  return taken + n;
}

bool _USBDataParse() {
  // A byte that begins no message (for instance part of an AD reply this
  // thread read) would hold back everything behind it: drop it.
  const unsigned char* const dropped_from = s_DataBegin;
  while (s_DataBegin < s_DataEnd && _InboundMessage(*s_DataBegin) == nullptr) ++s_DataBegin;
  if (s_DataBegin != dropped_from) {
    _CountLink(s_Link.bytes_dropped, static_cast<unsigned long long>(s_DataBegin - dropped_from));
  }
  if (s_DataBegin == s_DataEnd) return false;

  const int pending = static_cast<int>(s_DataEnd - s_DataBegin);
  const unsigned char first = *s_DataBegin;
  if (first == kADReplyMarker) {
    // Its value bytes would otherwise be taken for message starts (a stray
    // 'S' swallowing requests, a '4' raising the range): wait for them and
    // drop the reply whole.
    if (pending < kADReplyLength) return false;
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
  // Read in this order: the wake count, then whether an AD exchange runs,
  // so that an exchange that begins after the flag was read wakes the read
  // below instead of losing its reply to it.
  const unsigned generation = _WakeGeneration();
  s_Receiver.reading.store(true);
  const bool exchange = s_ADExchange.load();
  TakeHandback();
  // Only as many bytes as the buffer can take after a compaction; the rest
  // waits in the system's buffer.
  int want = kRxBufferSize - static_cast<int>(s_DataEnd - s_DataBegin);
  if (want > kRxReadSize) want = kRxReadSize;
  if (!exchange && want > 0) {
    unsigned char area[kRxReadSize];
    const int n = _ReadCOMPortUnlessWoken(want, area, generation);
    if (n > 0) _USBDataAppend(area, n);
  }
  s_Receiver.reading.store(false);
  // Everything complete is handled before the thread sleeps: one message a
  // pass would let a burst of them hold back the requests behind it.
  while (_USBDataParse()) {
    if (s_Receiver.stop.load()) break;
  }
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
    _SleepMilliseconds(10);
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
  try {
    s_Receiver.thread = std::thread([] {
      t_OnReceiveThread = true;
      _PrepareReceiveThread();
      iDataPoolThreadRoutine(nullptr);
    });
  } catch (...) {
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

std::mutex& _ADExchangeLock() { return s_Receiver.ad_exchange_lock; }

ADExchangeScope::ADExchangeScope() {
  s_ADExchange.store(true);
  // A read the receive thread has already begun gives up at once; wait until
  // it has (a read past its select could otherwise still take the reply).
  _WakeReaders();
  while (s_Receiver.reading.load() && !t_OnReceiveThread) std::this_thread::yield();
}

ADExchangeScope::~ADExchangeScope() { s_ADExchange.store(false); }

int _TakeADReply(const unsigned char* reply, int n) {
  const int k = _FindADReply(reply, n);
  if (k < 0) {
    HandBack(reply, n);
    return 0;
  }
  HandBack(reply, k);
  HandBack(reply + k + kADReplyLength, n - k - kADReplyLength);
  return _ADReplyValue(reply, k);
}

void _HandBackWaitingBytes() {
  unsigned char waiting[kRxReadSize];
  // Bounded: an instrument that never stops talking cannot hold GetAD here.
  for (int total = 0; total < kRxBufferSize;) {
    const int n = _ReadCOMPortWithin(kRxReadSize, waiting, 0);
    if (n <= 0) break;
    HandBack(waiting, n);
    total += n;
  }
}

int _ReadADReply() {
  constexpr int kChunk = 36;
  unsigned char reply[8 * kChunk];
  int n = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  while (_FindADReply(reply, n) < 0) {
    if (n + kChunk > static_cast<int>(sizeof reply)) {
      // Instrument messages ahead of the reply fill the area: hand them back,
      // keeping the last two bytes (a marker among them is still to complete).
      HandBack(reply, n - 2);
      std::memmove(reply, reply + n - 2, 2);
      n = 2;
    }
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    const int r = _ReadCOMPortWithin(kChunk, reply + n, static_cast<long>(left));
    if (r <= 0) break;
    n += r;
  }
  return _TakeADReply(reply, n);
}

}  // namespace orna
