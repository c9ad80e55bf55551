// Health and loss of the open connection: the counters of OrnaGetLinkStatus,
// the exclusive open, and what the link does when the port's device goes away.
#pragma once

#include <atomic>

namespace orna {

// Counters since the connection opened. Relaxed atomics: they are bumped on
// the sample path without a lock of their own and read from any thread.
struct LinkCounters {
  std::atomic<unsigned long long> requests{0};
  std::atomic<unsigned long long> packets{0};
  std::atomic<unsigned long long> sequence_errors{0};
  std::atomic<unsigned long long> write_failures{0};
  std::atomic<unsigned long long> bytes_dropped{0};
};
extern LinkCounters s_Link;

inline void _CountLink(std::atomic<unsigned long long>& counter, unsigned long long n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}

// Opens `path` for the instrument: read/write, non-blocking, close-on-exec,
// a terminal only, held exclusively (flock(LOCK_EX) and TIOCEXCL). Returns
// the descriptor, or -1 with the reason in _LastOpenErrno() (EBUSY: another
// process holds the port).
int _OpenExclusive(const char* path);
int _LastOpenErrno();

// The read primitive reports a hang-up or a read error that will not go
// away (end of file, EIO, ENXIO, ENODEV) here; the receive thread acts on it.
void _NotePortGone();
bool _PortGone();

// With s_lock held. A connection has been opened: counters start at 0, the
// lost flag clears.
void _LinkOpened();
// With s_lock held: whether the connection was lost (until the next open).
bool _LinkWasLost();
// With s_lock held, on the receive thread, once the port's device is gone:
// takes the port out of use (g_hFile becomes -1; the descriptor is kept,
// still locked, until the next open or close), then calls the link-lost hook
// (link/receive_thread.h), which ends streaming and tells the host.
void _LinkLost();
// With s_lock held: ends the receive thread of a lost connection and closes
// its descriptor. Does nothing when no connection was lost.
void _ReleaseLostPort();

}  // namespace orna
