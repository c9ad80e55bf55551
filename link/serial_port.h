// Serial transport: the one open port of the process and its two primitives.
#pragma once

#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace orna {

constexpr int kRxBufferSize = 4096;
constexpr int kRxReadSize = 128;

// Descriptor of the open port, -1 while none is open.
extern std::atomic<int> g_hFile;

// Everything else about the one port of the process. The gate is a leaf lock
// (see link/lock.h).
struct Port {
  // Readers and writers hold the gate shared while they use the descriptor;
  // closing takes it exclusively, so a descriptor is never closed (and perhaps
  // reused by the system) under a select, read or write of another thread.
  std::shared_mutex gate;

  // Self-pipe that wakes readers waiting in select, and the count of wakes. A
  // reader returns early only for wakes that happened after it began, so a
  // byte left over from an older wake is drained and the wait goes on.
  int wake_pipe[2] = {-1, -1};
  std::atomic<unsigned> wake_count{0};

  // Set when a write gave up on a line that took nothing for the whole bound;
  // cleared by the next write that goes out whole. While it is set, a write
  // that cannot place its first byte gives up at once: a host call that sends
  // several messages, or a close that resets every setting, must not wait the
  // bound once per message on a device that has stopped reading.
  std::atomic<bool> stalled{false};

  // The exclusive open and the loss of the device (link/link_status.h).
  std::atomic<int> open_errno{0};  // why the last open failed, 0 if it did not
  std::atomic<bool> gone{false};   // a read saw the device hang up
  bool lost = false;               // under s_lock: the connection was lost
  int lost_fd = -1;                // under s_lock: its descriptor, still locked

  // Creates the wake pipe: at load time, so that the set of open descriptors
  // does not change with the first read.
  Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
};
extern Port& s_Port;

// Opens `path` non-blocking and exclusively and puts the line into the
// instrument's mode. Returns the descriptor, or -1 (closing it again when it
// is not a terminal). The descriptor is the caller's until it is put in
// g_hFile: an open runs its handshake on it with _ReadLine and _WriteLine,
// where no other thread can write into the exchange.
int _OpenLine(const char* path);
// The same, leaving the result in g_hFile; false when no line was opened.
bool _OpenPort(const char* path);
// _ReadCOMPort and _WriteCOMPort on a line not (yet) in g_hFile.
int _ReadLine(int fd, int count, unsigned char* buffer);
int _WriteLine(int fd, int count, const unsigned char* bytes);

// Closes the port (if open) and sets g_hFile to -1. Waits until no
// _ReadCOMPort or _WriteCOMPort call of another thread is using the descriptor
// (waking readers that wait for data first).
void _ClosePort();

// Takes the port out of use like _ClosePort but leaves the descriptor open
// and returns it (-1 when none was open).
int _DetachPort();

// Reads up to `count` bytes: waits at most 100 ms for data. Returns the number
// of bytes read (1..count), 0 when no port is open or at end of file, -1 on
// timeout or error. Also returns -1 early when _WakeReaders() is called.
int _ReadCOMPort(int count, unsigned char* buffer);

// The same, but also returns -1 at once when _WakeReaders() has been called
// since _WakeGeneration() returned `generation`. Lets a caller test a
// condition and then read without missing a wake that comes in between.
int _ReadCOMPortUnlessWoken(int count, unsigned char* buffer, unsigned generation);
// Both: unless woken since `generation`, and within `timeout_us`.
int _ReadCOMPortUnlessWokenWithin(int count, unsigned char* buffer, unsigned generation,
                                  long timeout_us);
unsigned _WakeGeneration();
// The same as _ReadCOMPort with a wait of at most `timeout_us` instead of
// 100 ms; 0 takes only what is already waiting.
int _ReadCOMPortWithin(int count, unsigned char* buffer, long timeout_us);

// Writes `count` bytes, retrying every 10 ms while the port would block, for
// at most about 1 s in all; a partial write is continued within that time.
// Returns `count` when everything was taken, otherwise the number of bytes
// taken (smaller than `count`) or -1 after an error. Once a write has given
// up this way, later ones that cannot place a first byte return 0 at once,
// until a write goes out whole again. `flag` has no effect.
int _WriteCOMPort(int count, const unsigned char* bytes, bool flag = false);

// Makes a _ReadCOMPort that is waiting in select() return at once (used when
// the receive thread is asked to end and when the port is closed).
void _WakeReaders();

// Sleeps `ms` milliseconds on the monotonic clock, to a deadline that signals
// do not move.
void _SleepMilliseconds(int ms);

}  // namespace orna
