// Receive thread: polls the port, frames the instrument's messages and hands
// each complete one to the handler the upper layer installed.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "link/serial_port.h"

namespace orna {

// The one way up from the receive thread: called with s_lock held for every
// instrument message framed at the front of the receive buffer (not for a late
// AD reply, which the link drops itself). `bytes` holds the `n` bytes of the
// message present, first byte included; a message may be handed up short of
// its last byte, which is then dropped when it arrives.
using MessageHandler = void (*)(unsigned char first, const unsigned char* bytes, int n);
// Called with s_lock held on the receive thread once the device has gone and
// the link has taken the port out of use.
using LinkLostHook = void (*)();

// Set with s_lock held (null: messages are framed, counted and dropped).
void _InstallMessageHandler(MessageHandler handler);
void _InstallLinkLostHook(LinkLostHook hook);

// Everything about the receive thread.
struct Receiver {
  // The receive buffer: bytes from s_DataBegin up to s_DataEnd wait to be
  // framed; `owed` bytes of a message handled short are still to be dropped.
  unsigned char data[kRxBufferSize];
  unsigned char* begin = data;
  unsigned char* end = data;
  int owed = 0;           // 0 or 1
  int seq_errors = 0;     // under s_lock

  std::thread thread;
  std::atomic<bool> stop{false};
  // Set while the thread may be reading the port; an AD exchange waits for it
  // to clear, so that no read it has already begun takes the reply.
  std::atomic<bool> reading{false};
  // An AD exchange of GetAD: while one is in progress the thread does not read
  // the port, so the reply cannot be taken from under GetAD.
  std::atomic<bool> ad_exchange{false};
  // Held for a whole AD exchange (and by a port scan, whose replies the
  // exchange's read must not take). Second in the lock order (link/lock.h).
  std::mutex ad_exchange_lock;

  MessageHandler handler = nullptr;  // under s_lock
  LinkLostHook lost_hook = nullptr;  // under s_lock

  Receiver() = default;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
};
extern Receiver& s_Receiver;

// The receiver's state under its established names.
extern unsigned char (&s_USBRxData)[kRxBufferSize];
extern unsigned char*& s_DataBegin;  // first byte not yet parsed
extern unsigned char*& s_DataEnd;    // one past the last byte received
extern int& s_SeqErrorCounter;
extern int& s_OwedBytes;             // 0 or 1
extern std::atomic<bool>& s_ADExchange;

// Appends received bytes (drops owed bytes first, compacts when needed).
// Takes only as many as fit after a compaction; returns how many of the `n`
// bytes were taken (owed bytes dropped included).
int _USBDataAppend(const unsigned char* bytes, int n);
// Parses at most one message from the front of the buffer and hands it to
// the handler (taking s_lock for that). Leading bytes that begin no message
// are dropped first; a late AD reply is dropped whole once its three bytes
// are there. Returns true when a message was consumed.
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

// The AD exchange lock (see Receiver::ad_exchange_lock).
std::mutex& _ADExchangeLock();
// Marks an AD exchange for its lifetime, after the thread's current read has
// given up.
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
