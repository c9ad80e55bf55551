// Device discovery: the port scan, the identification handshake on one
// candidate port, and the start of a connection on the port found.
#pragma once

#include "link/identity.h"

namespace orna {

// The handshake on one path, on a line no other thread can use: opens and
// configures it, and on an identified instrument returns its descriptor with
// the identity in `found` and the hardware information reply in `block`
// (nothing the getters return has changed); -1 otherwise (line closed).
int _COMStringFound(const char* path, IdentityTexts& found, unsigned char block[64]);

// Test hook (not exported from the shared library): replaces the four
// candidate paths /dev/ttyACM0../dev/ttyACM3. Null entries or a null array
// restore the defaults.
void _SetPortPathsForTesting(const char* const paths[4]);

// With s_lock held, before a connection is opened: ends the receive thread of
// the previous connection (waiting for it) and closes the descriptor a lost
// connection kept. Returns false, changing nothing, on that receive thread
// itself, which cannot wait for its own end.
bool _EndPreviousConnection();

// The opens of InitORNA (each candidate path in turn) and OrnaOpenPort
// (`path`, with why its open failed, 0 when it did not, in `open_errno`).
// One open at a time; each first ends the previous connection under s_lock
// (AlreadyOpen when one is open; Refused on its own receive thread, which
// cannot wait for its end), then runs the handshake without s_lock, then
// commits the identity, starts the counters and the receive thread under it
// (Opened), or closes the port again when no thread could be started
// (NoThread). Busy: called with s_lock held while another open ran.
enum class Connection { Opened, AlreadyOpen, NoInstrument, NoThread, Refused, Busy };
Connection _ConnectFirstFound();
Connection _ConnectPath(const char* path, int* open_errno);

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
