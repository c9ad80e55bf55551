// What the library does with the instrument's messages and with the loss of
// its device: the upper half of the receive thread's work.
#pragma once

namespace orna {

// With s_lock held: installs the two below as the receive thread's message
// handler and link-lost hook (link/receive_thread.h). The connection entry
// points do it before they start a receive thread.
void _InstallInstrumentHandlers();

// A framed instrument message (see MessageHandler). A version report at or
// above "4000002" raises both range values to 5.0; a next-packet request is
// answered with the next packet while streaming. Status messages and sequence
// error reports need nothing beyond the link's counting.
void _HandleInstrumentMessage(unsigned char first, const unsigned char* bytes, int n);

// The device has gone (see LinkLostHook): streaming ends as output 0 would
// end it, without sending anything (there is no port), then the link-lost
// callback fires.
void _HandleLinkLost();

}  // namespace orna
