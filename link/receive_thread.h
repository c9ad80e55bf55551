// Receive thread and inbound parsing.
#pragma once

namespace orna {

constexpr int kRxBufferSize = 4096;
constexpr int kRxReadSize = 128;

extern unsigned char s_USBRxData[kRxBufferSize];
extern unsigned char* s_DataBegin;   // first byte not yet parsed
extern unsigned char* s_DataEnd;     // one past the last byte received
extern int s_SeqErrorCounter;
extern int s_OwedBytes;              // 0 or 1

// Appends received bytes (drops owed bytes first, compacts when needed).
void _USBDataAppend(const unsigned char* bytes, int n);
// Parses at most one message from the front of the buffer and handles it
// (taking s_lock for the handling). Returns true when a message was consumed.
bool _USBDataParse();
// One pass: read, append, parse.
void _USBDataPoll();
// The thread body.
void* iDataPoolThreadRoutine(void* argument);

// Starts the receive thread (joining a previous one that has ended).
void _StartReceiveThread();
// Asks the receive thread to end and waits for it, unless called on the
// receive thread itself (it then ends after the current pass).
void _StopReceiveThread();
// True on the receive thread.
bool _OnReceiveThread();

}  // namespace orna
