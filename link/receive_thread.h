// Receive thread: the only reader of the port. It frames the instrument's
// messages and hands each complete one to the handler the upper layer
// installed, and it runs the AD exchanges that GetAD asks for.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "link/serial_port.h"

namespace orna {

// The one way up from the receive thread: called with s_lock held for every
// instrument message framed at the front of the receive buffer (not for an AD
// reply, which the link takes itself). `bytes` holds the `n` bytes of the
// message present, first byte included; a message may be handed up short of
// its last byte, which is then dropped when it arrives.
using MessageHandler = void (*)(unsigned char first, const unsigned char* bytes, int n);
// Called with s_lock held on the receive thread once the device has gone and
// the link has taken the port out of use.
using LinkLostHook = void (*)();

// Set with s_lock held (null: messages are framed, counted and dropped).
void _InstallMessageHandler(MessageHandler handler);
void _InstallLinkLostHook(LinkLostHook hook);

// The receive buffer: bytes from s_DataBegin up to s_DataEnd wait to be
// framed; s_OwedBytes bytes of a message handled short are still to be
// dropped. Touched by the receive thread only (and by a connection's start
// before the thread exists).
extern unsigned char s_USBRxData[kRxBufferSize];
extern unsigned char* s_DataBegin;
extern unsigned char* s_DataEnd;
extern int s_OwedBytes;  // 0 or 1
// Sequence error reports received, never reset. Wide enough for any run.
extern std::uint64_t s_SeqErrorCounter;

// A GetAD caller's place in the queue of AD exchanges; lives on its stack.
struct ADRequest {
  ADRequest* next = nullptr;
  std::uint64_t ticket = 0;
  bool done = false;  // the exchange ended (or will never be made)
  int value = 0;      // its result once done
};

// Everything about the receive thread but its buffer.
struct Receiver {
  std::thread thread;
  std::atomic<bool> stop{false};

  MessageHandler handler = nullptr;  // under s_lock
  LinkLostHook lost_hook = nullptr;  // under s_lock

  // The queue of AD exchanges, served one at a time in order. The lock is a
  // leaf (link/lock.h): held for a few loads and stores.
  std::mutex ad_lock;
  std::condition_variable ad_done;
  ADRequest* ad_first = nullptr;  // under ad_lock
  ADRequest* ad_last = nullptr;   // under ad_lock
  std::uint64_t ad_tickets = 0;   // under ad_lock
  bool ad_serving = false;        // under ad_lock: a receive thread takes requests

  Receiver() = default;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
};
extern Receiver& s_Receiver;

// Appends received bytes (drops owed bytes first, compacts when needed).
// Takes only as many as fit after a compaction; returns how many of the `n`
// bytes were taken (owed bytes dropped included).
int _USBDataAppend(const unsigned char* bytes, int n);
// Parses at most one message from the front of the buffer and hands it to
// the handler (taking s_lock for that). Leading bytes that begin no message
// are dropped first; an AD reply is taken whole once its three bytes are
// there (the value of the exchange in progress when it came after the
// request, else dropped). Returns true when a message was consumed.
bool _USBDataParse();
// One pass: start the next AD exchange when one is asked for, read, append,
// parse and handle every complete message, end the exchange when it is due.
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

// The AD exchange of GetAD, with s_lock held by the caller and a port open.
// On a host thread the request joins the queue and the result is false when
// no receive thread serves it (then GetAD gives 0); the caller then lets
// s_lock go and waits with _AwaitADReply. On the receive thread (a callback
// calling GetAD) the exchange runs at once: see _ADExchangeHere.
bool _QueueADRequest(ADRequest* request);
// Waits, without s_lock, until the receive thread has made the exchange, or
// for a bound that covers every exchange ahead of it; returns the value, 0
// when the exchange failed or the wait gave up.
int _AwaitADReply(ADRequest* request);
// On the receive thread, with s_lock held: the exchange made in place, the
// reply taken from the receive buffer, and every other byte left there for
// the passes to come.
int _ADExchangeHere();

// Receive-thread view of an exchange, for tests and the fuzzer: drops a
// reply fragment left at the front, as an exchange does when it begins, and
// marks the bytes appended from now on as those that may hold the reply.
void _ExpectADReplyForTesting();
// True once a reply came after the mark: its value, and its position counted
// in bytes appended since the process began.
bool _ADReplyForTesting(int* value, std::uint64_t* position);
// Bytes appended to the receive buffer since the process began.
std::uint64_t _BytesAppended();

}  // namespace orna
