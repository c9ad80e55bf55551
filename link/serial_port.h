// Serial transport: the one open port of the process and its two primitives.
#pragma once

#include <atomic>

namespace orna {

// Descriptor of the open port, -1 while none is open.
extern std::atomic<int> g_hFile;

// Opens `path` non-blocking and puts the line into the instrument's mode.
// Leaves the result of open() in g_hFile; returns false when open() gave 0 or
// less (nothing is closed then).
bool _OpenPort(const char* path);

// Closes the port (if open) and sets g_hFile to -1. Waits until no
// _ReadCOMPort call of another thread is inside read() on the descriptor.
void _ClosePort();

// Reads up to `count` bytes: waits at most 100 ms for data. Returns the number
// of bytes read (1..count), 0 when no port is open or at end of file, -1 on
// timeout or error. Also returns -1 early when _WakeReaders() is called.
int _ReadCOMPort(int count, unsigned char* buffer);

// Writes `count` bytes, retrying every 10 ms while the port would block, for a
// bounded time. Returns `count` when everything was taken, otherwise a smaller
// number or -1. `flag` has no effect.
int _WriteCOMPort(int count, const unsigned char* bytes, bool flag = false);

// Makes a _ReadCOMPort that is waiting in select() return at once (used when
// the receive thread is asked to end).
void _WakeReaders();

}  // namespace orna
