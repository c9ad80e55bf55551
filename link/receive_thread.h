// Receive thread and inbound parsing.
#pragma once

#include <atomic>
#include <mutex>

namespace orna {

constexpr int kRxBufferSize = 4096;
constexpr int kRxReadSize = 128;

extern unsigned char s_USBRxData[kRxBufferSize];
extern unsigned char* s_DataBegin;   // first byte not yet parsed
extern unsigned char* s_DataEnd;     // one past the last byte received
extern int s_SeqErrorCounter;
extern int s_OwedBytes;              // 0 or 1

// Appends received bytes (drops owed bytes first, compacts when needed).
// Takes only as many as fit after a compaction; returns how many of the `n`
// bytes were taken (owed bytes dropped included).
int _USBDataAppend(const unsigned char* bytes, int n);
// Parses at most one message from the front of the buffer and handles it
// (taking s_lock for the handling). Leading bytes that begin no message are
// dropped first; a late AD reply is dropped whole once its three bytes are
// there. Returns true when a message was consumed.
bool _USBDataParse();
// One pass: read, append, then parse and handle every complete message.
void _USBDataPoll();
// The thread body.
void* iDataPoolThreadRoutine(void* argument);

// Starts the receive thread (joining a previous one that has ended). Returns
// false when no thread could be started, or when the previous one is the
// calling thread and cannot be joined.
bool _StartReceiveThread();
// Asks the receive thread to end and waits for it, unless called on the
// receive thread itself (it then ends after the current pass and is joined by
// the next start or at exit).
void _StopReceiveThread();
// True on the receive thread.
bool _OnReceiveThread();
// True while a receive thread exists that has not been joined yet.
bool _ReceiveThreadRunning();

// An AD exchange of GetAD: while one is in progress the receive thread does
// not read the port, so the reply cannot be taken from under GetAD.
extern std::atomic<bool> s_ADExchange;
// Held for a whole AD exchange (and by a port scan, whose replies the
// exchange's read must not take). Always taken after s_lock, never before.
std::mutex& _ADExchangeLock();
class ADExchangeScope {
 public:
  ADExchangeScope();
  ~ADExchangeScope();
  ADExchangeScope(const ADExchangeScope&) = delete;
  ADExchangeScope& operator=(const ADExchangeScope&) = delete;
};
// Scans the `n` bytes GetAD read for the AD value, and hands every other byte
// (messages of the instrument that arrived with the reply) to the receive
// thread, which parses them before anything it reads next.
int _TakeADReply(const unsigned char* reply, int n);
// Hands what is already waiting on the line to the receive thread (used by
// GetAD before it sends its request, inside an AD exchange).
void _HandBackWaitingBytes();
// Reads the reply of an AD request already sent: until a 0xAD marker with two
// bytes after it has come or 100 ms have passed, then takes it as
// _TakeADReply does.
int _ReadADReply();

}  // namespace orna
