// Device discovery: the port scan, the identification handshake on one
// candidate port, and the start of a connection on the port found.
#pragma once

#include "link/identity.h"

namespace orna {

// The handshake on one path: true when the port is open, configured and holds
// an identified instrument (it then stays open in g_hFile).
bool _COMStringFound(const char* path);

// Test hook (not exported from the shared library): replaces the four
// candidate paths /dev/ttyACM0../dev/ttyACM3. Null entries or a null array
// restore the defaults.
void _SetPortPathsForTesting(const char* const paths[4]);

// With s_lock held, before a connection is opened: ends the receive thread of
// the previous connection (waiting for it) and closes the descriptor a lost
// connection kept. Returns false, changing nothing, on that receive thread
// itself, which cannot wait for its own end.
bool _EndPreviousConnection();

// With s_lock held and no port open (so no receive thread either). The
// handshake on each candidate path in turn or on `path`; on the first instrument identified the counters
// start at 0 and the receive thread starts (Opened), or the port is closed
// again when no thread could be started (NoThread).
enum class Connection { Opened, NoInstrument, NoThread };
Connection _ConnectFirstFound();
Connection _ConnectPath(const char* path);

// Reply handling of the handshake, apart from the port so that each step can
// be judged on its own.
// Each stores into `texts`, the handshake's copy (see IdentityTexts).
// An identify reply of more than 3 bytes names the instrument: its serial
// number (the text up to the first zero byte) is stored and the result is
// true. A shorter one is no answer (false, nothing stored).
bool _TakeIdentifyReply(const unsigned char* reply, int n, IdentityTexts& texts);
// A legacy identify reply of at least 4 bytes beginning "ORN" gives the fixed
// serial number (true); anything else rejects the port (false, nothing stored).
bool _TakeLegacyReply(const unsigned char* reply, int n, IdentityTexts& texts);
// A hardware information reply of `n` bytes read into `block`: exactly 64
// bytes with the right letters set the three texts (Accepted), 64 with wrong
// letters reject the port and leave them (Rejected), any other count clears
// them (Cleared; the port is still accepted).
enum class HWInfoReply { Accepted, Rejected, Cleared };
HWInfoReply _TakeHWInfoReply(const unsigned char block[64], int n, IdentityTexts& texts);

}  // namespace orna
